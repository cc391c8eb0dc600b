#include "DeviceTest.h"

#include <vector>

namespace sparwick::sim::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t ramBuffer = 0x40000200;
const std::string ram = std::to_string(ramBuffer);

FaultRule rule(const std::string& text) {
    std::string error;
    const auto parsed = parseFaultRule(text, &error);
    if (!parsed) {
        throw std::invalid_argument(error);
    }
    return *parsed;
}

DeviceOptions withFaults(std::initializer_list<const char*> rules) {
    DeviceOptions options;
    for (const char* text : rules) {
        options.faults.push_back(rule(text));
    }
    return options;
}

class DeviceFaultsTest : public DeviceTest {};

TEST_F(DeviceFaultsTest, EachActionChangesTheReplyAsItSays) {
    start(withFaults({"sync=short", "sync-word=garble", "crystal=extra"}));
    EXPECT_EQ(client->collect("?"), "Synchronized\r");
    EXPECT_EQ(client->exchange("Synchronized\r\n", "Synchronized\r\nOK\r\n"),
              "Synchronized\r\nNK\r\n");
    EXPECT_EQ(client->exchange("14746\r\n", "14746\r\nOK\r\n"), "14746\r\nOK\r\n");
    EXPECT_EQ(client->read(1), "\n");
    // The device went on as usual: each reply was only damaged on its way out.
    EXPECT_EQ(command("J", "J\r\n0\r\n196389\r\n"), "J\r\n0\r\n196389\r\n");
    EXPECT_EQ(device->statistics().faultsUsed, 3u);
}

TEST_F(DeviceFaultsTest, SilentSwallowsTheEchoAsWellAndTheCommandStillRuns) {
    start(withFaults({"echo=silent"}));
    client->synchronize(false);
    EXPECT_EQ(client->collect("A 0\r\n"), "");
    EXPECT_FALSE(device->statistics().echoOn);
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
}

TEST_F(DeviceFaultsTest, OccurrencesCountFromOneAndEachRuleFiresOnce) {
    startUnlocked(withFaults({"part-id#2=status:1", "prepare#3=garble"}));
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
    EXPECT_EQ(command("J", "1\r\n"), "1\r\n");
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("P 0 0", "0\r\n"), "1\r\n");
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
}

TEST_F(DeviceFaultsTest, AnotherStatusMeansTheCommandWasNotCarriedOut) {
    startUnlocked(withFaults({"erase=status:11", "unlock#2=status:16"}));
    device->addFault(rule("copy=status:9"));
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("P 3 3", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("E 3 3", "11\r\n"), "11\r\n");
    // The refused erase left sector 3 prepared.
    EXPECT_EQ(command("E 3 3", "0\r\n"), "0\r\n");
    ASSERT_TRUE(writeToRam(*client, ramBuffer, std::vector<std::uint8_t>(256, 0)));
    EXPECT_EQ(command("C 0 " + ram + " 256", "9\r\n"), "9\r\n");
    EXPECT_EQ(device->flash()[0], 0xFF);
    EXPECT_EQ(command("U 23130", "16\r\n"), "16\r\n");
    EXPECT_TRUE(device->statistics().unlocked);
}

TEST_F(DeviceFaultsTest, StatusAndSilenceOnTheHandshake) {
    start(withFaults({"sync=status:3", "sync-word=silent"}));
    EXPECT_EQ(client->exchange("?", "Synchronized\r\n"), "3\r\n");
    // Not synchronised: "?" is awaited still.
    EXPECT_EQ(client->exchange("?", "Synchronized\r\n"), "Synchronized\r\n");
    EXPECT_EQ(client->collect("Synchronized\r\n"), "");
    EXPECT_EQ(client->exchange("14746\r\n", "14746\r\nOK\r\n"), "14746\r\nOK\r\n");
}

TEST_F(DeviceFaultsTest, WriteAndDataChecksumFaults) {
    startUnlocked(withFaults({"write=short", "data-checksum=resend", "data-checksum#2=extra",
                              "data-checksum#3=status:5"}));
    const std::vector<std::uint8_t> data(44, 0x11);
    const std::string line = TestUuencoder::encodeLine(data) + "\r\n";
    const std::string sum = std::to_string(44 * 0x11) + "\r\n";
    EXPECT_EQ(client->collect("W " + ram + " 44\r\n"), "0\r");
    client->send(line);
    // Forced RESEND although the checksum is right; then OK with a byte too many.
    EXPECT_EQ(client->exchange(sum, "RESEND\r\n"), "RESEND\r\n");
    client->send(line);
    EXPECT_EQ(client->exchange(sum, "OK\r\n\n"), "OK\r\n\n");
    EXPECT_EQ(command("W " + ram + " 44", "0\r\n"), "0\r\n");
    client->send(line);
    EXPECT_EQ(client->collect(sum), "5\r\n");
    // Another answer ended the transfer: commands again.
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
}

TEST_F(DeviceFaultsTest, DataLineDropLosesBytesOfOneLineOrOfEvery) {
    startUnlocked(withFaults({"data-line#2=drop:4"}));
    std::vector<std::uint8_t> data(88);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(200 - i);
    }
    const std::string lines = TestUuencoder::encodeLine(std::span(data).first(45)) + "\r\n" +
                              TestUuencoder::encodeLine(std::span(data).subspan(45)) + "\r\n";
    const std::string sum = std::to_string(TestUuencoder::sum(data)) + "\r\n";
    EXPECT_EQ(command("W " + ram + " 88", "0\r\n"), "0\r\n");
    client->send(lines);
    EXPECT_EQ(client->exchange(sum, "RESEND\r\n"), "RESEND\r\n");
    // The rule picked the second data line only: the third and fourth arrive whole.
    client->send(lines);
    EXPECT_EQ(client->exchange(sum, "OK\r\n"), "OK\r\n");
    EXPECT_EQ(readMemory(*client, ramBuffer, 88), data);

    device->addFault(rule("data-line=drop:1"));
    EXPECT_EQ(command("W " + ram + " 88", "0\r\n"), "0\r\n");
    for (int attempt = 0; attempt < 3; ++attempt) {
        client->send(lines);
        EXPECT_EQ(client->exchange(sum, "RESEND\r\n"), "RESEND\r\n");
    }
    // Lost data bytes never take the line end with them: the device is still in step.
    client->send("\x1b");
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
    EXPECT_EQ(device->statistics().resendsSent, 4u);
}

TEST_F(DeviceFaultsTest, GoFaultsLeaveTheUserCodeStateAsTheirMeaningSays) {
    startUnlocked(withFaults({"go=status:14", "go#2=garble"}));
    EXPECT_EQ(command("G 0 A", "14\r\n"), "14\r\n");
    EXPECT_FALSE(device->wentToUserCode());
    EXPECT_EQ(command("G 0 A", "0\r\n"), "1\r\n");
    EXPECT_TRUE(device->wentToUserCode());
}

TEST_F(DeviceFaultsTest, HangupClosesThePtyAndTheDeviceComesBackPowerCycled) {
    startUnlocked(withFaults({"blank-check=hangup"}));
    const std::uint32_t generation = device->statistics().ptyGeneration;
    client->send("I 1 26\r\n");
    EXPECT_EQ(client->read(3, 500ms), "");
    EXPECT_TRUE(client->hungUp());
    ASSERT_TRUE(device->waitUntilServing(3000ms, generation + 1));
    EXPECT_FALSE(device->ptyPath().empty());
    reconnect();
    // Power-cycled: echo on, locked, waiting for "?".
    EXPECT_EQ(client->collect("J\r\n"), "");
    client->synchronize(false);
    EXPECT_EQ(command("E 0 0", "E 0 0\r\n15\r\n"), "E 0 0\r\n15\r\n");
    EXPECT_EQ(device->statistics().hangUps, 1u);
}

TEST_F(DeviceFaultsTest, RulesThatDoNotParse) {
    for (const char* text : {"",
                             "sync",
                             "sync=",
                             "=silent",
                             "synch=silent",
                             "sync#0=silent",
                             "sync#x=silent",
                             "sync#=silent",
                             "sync=loud",
                             "sync=status:",
                             "sync=status:-1",
                             "sync=status:4294967296",
                             "copy=resend",
                             "sync-word#1#2=silent",
                             "data-line=silent",
                             "data-line#0=drop:1",
                             "data-line=drop:0",
                             "data-line=drop:x",
                             "copy=drop:3",
                             "go#2=drop:1",
                             "flasher-block=short",
                             "flasher-block#0=garble"}) {
        std::string error;
        EXPECT_FALSE(parseFaultRule(text, &error).has_value()) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    const auto parsed = parseFaultRule("data-checksum#12=status:7");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->step, FaultStep::dataChecksum);
    EXPECT_EQ(parsed->occurrence, 12u);
    EXPECT_EQ(parsed->action, FaultAction::status);
    EXPECT_EQ(parsed->status, 7u);
    EXPECT_EQ(describeFaultRule(*parsed), "data-checksum#12=status:7");
    EXPECT_EQ(parseFaultRule("go=short")->action, FaultAction::truncate);
    EXPECT_EQ(parseFaultRule("go=short")->occurrence, 1u);

    const auto drop = parseFaultRule("data-line#2785=drop:5");
    ASSERT_TRUE(drop.has_value());
    EXPECT_EQ(drop->step, FaultStep::dataLine);
    EXPECT_EQ(drop->occurrence, 2785u);
    EXPECT_EQ(drop->action, FaultAction::drop);
    EXPECT_EQ(drop->dropBytes, 5u);
    EXPECT_EQ(describeFaultRule(*drop), "data-line#2785=drop:5");
    const auto every = parseFaultRule("data-line=drop:1");
    ASSERT_TRUE(every.has_value());
    EXPECT_EQ(every->occurrence, FaultRule::everyOccurrence);
    EXPECT_EQ(describeFaultRule(*every), "data-line=drop:1");
    const auto block = parseFaultRule("flasher-block=garble");
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->occurrence, FaultRule::everyOccurrence);
    EXPECT_EQ(describeFaultRule(*block), "flasher-block=garble");
}

} // namespace
} // namespace sparwick::sim::test
