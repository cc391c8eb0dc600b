// Faults that only a read-back shows: a copy that answers 0 but leaves a wrong bit in the
// flash, and the R exchange's own faults, down to a wrong sum that the host answers with
// RESEND.
#include "DeviceTest.h"

#include <numeric>
#include <vector>

namespace sparwick::sim::test {
namespace {

constexpr std::uint32_t ramBuffer = 0x40000200;
// R shows the boot block's vectors over the first 64 bytes of flash; the flash's own
// bytes from here on.
constexpr std::size_t pastVectors = 64;
const std::string ram = std::to_string(ramBuffer);

DeviceOptions withFaults(std::initializer_list<const char*> rules) {
    DeviceOptions options;
    for (const char* text : rules) {
        std::string error;
        const auto parsed = parseFaultRule(text, &error);
        EXPECT_TRUE(parsed) << error;
        options.faults.push_back(*parsed);
    }
    return options;
}

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return data;
}

std::string lines(const std::vector<std::uint8_t>& data, std::size_t from, std::size_t count) {
    std::string text;
    for (std::size_t offset = from; offset < from + count; offset += 45) {
        text += TestUuencoder::encodeLine(std::span(data).subspan(
                    offset, std::min<std::size_t>(45, from + count - offset))) +
                "\r\n";
    }
    return text;
}

std::string sumOf(const std::vector<std::uint8_t>& data, std::size_t from, std::size_t count) {
    return std::to_string(TestUuencoder::sum(std::span(data).subspan(from, count))) + "\r\n";
}

class ReadFaultsTest : public DeviceTest {};

TEST_F(ReadFaultsTest, CorruptCopyAnswersZeroAndFlipsOneBitInTheMiddleOfWhatItWrote) {
    startUnlocked(withFaults({"copy#2=corrupt"}));
    const std::vector<std::uint8_t> block = pattern(4096);
    for (std::uint32_t sector : {0u, 1u}) {
        ASSERT_TRUE(writeToRam(*client, ramBuffer, block));
        const std::string s = std::to_string(sector);
        EXPECT_EQ(command("P " + s + " " + s, "0\r\n"), "0\r\n");
        EXPECT_EQ(command("C " + std::to_string(sector * 4096) + " " + ram + " 4096", "0\r\n"),
                  "0\r\n");
    }
    const std::vector<std::uint8_t> flash = device->flash();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin()));
    std::vector<std::uint8_t> expected = block;
    expected[2048] ^= 0x01;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin() + 4096));
    // R shows the flash as it is.
    EXPECT_EQ(readMemory(*client, 4096 + 2048 - 4, 8),
              std::vector<std::uint8_t>(expected.begin() + 2044, expected.begin() + 2052));
}

TEST_F(ReadFaultsTest, WrongSumsAreSentUntilTheFaultsAreUsedAndResendGivesTheSameLines) {
    DeviceOptions options = withFaults({"read-checksum=garble", "read-checksum#2=status:7"});
    options.flash = pattern(pastVectors + 1000);
    const std::vector<std::uint8_t>& data = options.flash;
    startUnlocked(options);
    const std::string group = lines(data, pastVectors, 900);
    const std::string right = sumOf(data, pastVectors, 900);
    std::string garbled = right;
    garbled[0] = static_cast<char>(garbled[0] ^ 0x01);

    EXPECT_EQ(client->collect("R 64 1000\r\n"), "0\r\n" + group + garbled);
    EXPECT_EQ(client->collect("RESEND\r\n"), group + "7\r\n");
    EXPECT_EQ(client->collect("RESEND\r\n"), group + right);
    EXPECT_EQ(client->collect("OK\r\n"),
              lines(data, pastVectors + 900, 100) + sumOf(data, pastVectors + 900, 100));
    EXPECT_EQ(client->collect("OK\r\n"), "");
    EXPECT_EQ(device->statistics().resendsSent, 2u);
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
}

TEST_F(ReadFaultsTest, TheReplyToRCarriesTheFirstGroupAndTheReadFaultActsOnAllOfIt) {
    DeviceOptions options = withFaults({"read=short", "read#2=status:19", "read-checksum#2=extra"});
    options.flash = pattern(pastVectors + 100);
    const std::vector<std::uint8_t>& data = options.flash;
    startUnlocked(options);
    const std::string whole =
        "0\r\n" + lines(data, pastVectors, 100) + sumOf(data, pastVectors, 100);
    EXPECT_EQ(client->collect("R 64 100\r\n"), whole.substr(0, whole.size() - 1));
    client->send("\x1b"); // ESC: the host gives up on the transfer
    EXPECT_EQ(client->collect("R 64 100\r\n"), "19\r\n");
    EXPECT_EQ(client->collect("R 64 100\r\n"), whole + "\n");
    client->send("OK\r\n");
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
}

TEST_F(ReadFaultsTest, RulesForTheReadBack) {
    const auto corrupt = parseFaultRule("copy#59=corrupt");
    ASSERT_TRUE(corrupt);
    EXPECT_EQ(corrupt->step, FaultStep::copy);
    EXPECT_EQ(corrupt->occurrence, 59u);
    EXPECT_EQ(corrupt->action, FaultAction::corrupt);
    EXPECT_EQ(describeFaultRule(*corrupt), "copy#59=corrupt");
    EXPECT_EQ(describeFaultRule(*parseFaultRule("read-checksum#4=garble")),
              "read-checksum#4=garble");
    EXPECT_EQ(parseFaultRule("read=hangup")->step, FaultStep::read);
    for (const char* text : {"write=corrupt", "read=corrupt", "read-checksum=resend"}) {
        std::string error;
        EXPECT_FALSE(parseFaultRule(text, &error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
} // namespace sparwick::sim::test
