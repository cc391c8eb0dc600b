#include "DeviceTest.h"
#include "tests/support/Eventually.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <termios.h>

namespace sparwick::sim::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t pos = text.find(part); pos != std::string::npos;
         pos = text.find(part, pos + part.size())) {
        ++count;
    }
    return count;
}

class DeviceLineTest : public DeviceTest {};

TEST_F(DeviceLineTest, KeepsItsStateWhenTheHostClosesAndReopensThePort) {
    startUnlocked();
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
    reconnect();
    reconnect();
    // Still synchronised, echo off, unlocked and prepared: a powered device stays so.
    EXPECT_EQ(command("E 0 0", "0\r\n"), "0\r\n");
}

TEST_F(DeviceLineTest, APowerCycleKeepsTheFlashAndForgetsTheSession) {
    DeviceOptions options;
    options.flash = {1, 2, 3, 4};
    startUnlocked(options);
    EXPECT_EQ(command("P 1 1", "0\r\n"), "0\r\n");
    device->powerCycle();
    EXPECT_EQ(client->collect("J\r\n"), "");
    client->synchronize(false);
    // Echo on again, locked again, the prepare gone.
    EXPECT_EQ(client->exchange("E 1 1\r\n", "E 1 1\r\n15\r\n"), "E 1 1\r\n15\r\n");
    client->exchange("U 23130\r\n", "U 23130\r\n0\r\n");
    EXPECT_EQ(client->exchange("E 1 1\r\n", "E 1 1\r\n9\r\n"), "E 1 1\r\n9\r\n");
    EXPECT_EQ(device->flash()[3], 4);
    EXPECT_EQ(device->statistics().powerCycles, 1u);
}

TEST_F(DeviceLineTest, APowerCycleLosesWhatTheLineHadNotDeliveredYet) {
    DeviceOptions options;
    options.wireBaud = 230400;
    start(options);
    // Noise and then "?": 178 ms on the line, of which nearly all is still on its way at the
    // reset. The fresh boot loader must not take it for a host's autobaud.
    client->send(std::string(4095, 'x') + "?");
    device->powerCycle();
    EXPECT_EQ(client->readUntilQuiet(400ms), "");
}

TEST_F(DeviceLineTest, StopsTheHostWithXoffWhileTheFlashIsBusy) {
    DeviceOptions options;
    options.wireBaud = 230400;
    startUnlocked(options);
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
    std::string burst = "E 0 0\r\n";
    for (int i = 0; i < 40; ++i) {
        burst += "J\r\n";
    }
    // The erase keeps the boot loader busy while the UART fills its buffer.
    const std::string out = client->collect(burst, 1000ms);
    const std::size_t xoff = out.find('\x13');
    const std::size_t xon = out.find('\x11');
    ASSERT_NE(xoff, std::string::npos) << out;
    ASSERT_NE(xon, std::string::npos) << out;
    EXPECT_LT(xoff, out.find("0\r\n"));
    EXPECT_LT(xoff, xon);
    // Nothing was lost. (Flow control bytes may fall between the bytes of a reply.)
    std::string replies = out;
    std::erase_if(replies, [](char c) { return c == '\x11' || c == '\x13'; });
    EXPECT_EQ(occurrences(replies, "0\r\n196389\r\n"), 40u);
    EXPECT_EQ(device->statistics().xoffsSent, 1u);
}

TEST_F(DeviceLineTest, AHostThatIgnoresXoffOverrunsTheBufferAndTheChecksumFails) {
    DeviceOptions options;
    options.wireBaud = 115200;
    start(options);
    client->synchronize(false);
    client->exchange("U 23130\r\n", "U 23130\r\n0\r\n");
    std::vector<std::uint8_t> data(180);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    std::string lines;
    for (std::size_t offset = 0; offset < data.size(); offset += 45) {
        lines += TestUuencoder::encodeLine(std::span(data).subspan(offset, 45)) + "\r\n";
    }
    const std::string sum = std::to_string(TestUuencoder::sum(data)) + "\r\n";
    const std::string write = "W 1073742336 180\r\n";
    ASSERT_EQ(client->exchange(write, write + "0\r\n"), write + "0\r\n");

    // Stopped by our XOFF, the echo cannot leave, so the boot loader stops taking bytes;
    // the buffer fills and this client, deaf to the device's XOFF, goes on writing into
    // the third line. The XON behind them lets the device go on.
    client->send("\x13");
    client->send(std::string_view(lines).substr(0, 180));
    client->send("\x11");
    client->readUntilQuiet(200ms);
    const std::uint64_t lost = device->statistics().bytesLost;
    EXPECT_GT(lost, 0u);
    EXPECT_LT(lost, 61u);
    client->send(std::string_view(lines).substr(180));
    const std::string refused = client->collect(sum, 300ms);
    EXPECT_NE(refused.find("RESEND\r\n"), std::string::npos) << refused;

    // The same lines again, whole: accepted, and the RAM holds them.
    client->send(lines);
    EXPECT_NE(client->collect(sum, 300ms).find("OK\r\n"), std::string::npos);
    client->exchange("A 0\r\n", "A 0\r\n0\r\n");
    EXPECT_EQ(readMemory(*client, 0x40000200, 180), data);
    EXPECT_EQ(device->statistics().resendsSent, 1u);
}

TEST_F(DeviceLineTest, AnAdapterLatencyHoldsRepliesAndPassesThemInOneBurst) {
    DeviceOptions options;
    options.adapterLatency = 500ms;
    startUnlocked(options);
    client->send("J\r\n");
    // Nothing before the latency has passed, however fast the machine...
    EXPECT_EQ(client->read(11, 200ms), "");
    // ... then the whole reply at once.
    EXPECT_EQ(client->readSome(2000ms), "0\r\n196389\r\n");
    // 66 replies of 11 bytes: the 11 whole packets of 62 bytes go as soon as each has
    // gathered, the 44 bytes after them once the latency has passed.
    std::string commands;
    for (int i = 0; i < 66; ++i) {
        commands += "J\r\n";
    }
    client->send(commands);
    EXPECT_EQ(client->read(11 * 62 + 44, 400ms).size(), 11u * 62);
    EXPECT_EQ(client->read(44, 2000ms).size(), 44u);
}

TEST_F(DeviceLineTest, HoldsItsOutputWhileTheHostSendsXoff) {
    startUnlocked();
    client->send("\x13");
    EXPECT_EQ(client->collect("J\r\n"), "");
    EXPECT_EQ(client->collect("\x11"), "0\r\n196389\r\n");
}

TEST_F(DeviceLineTest, PacesBothDirectionsAtTheRateTheHostSet) {
    DeviceOptions options;
    options.wireBaud = 0;
    start(options);
    client->setSpeed(B9600);
    // The device looks at the line's settings on its own time.
    ASSERT_TRUE(sparwick::test::eventually(
        [&] { return device->statistics().hostBaud == std::optional<std::uint32_t>(9600); },
        2000ms));
    const Clock::time_point begin = Clock::now();
    EXPECT_EQ(client->exchange("?", "Synchronized\r\n"), "Synchronized\r\n");
    // 15 bytes of ten bits each at 9600 baud: more than 15 ms however fast the machine.
    EXPECT_GE(Clock::now() - begin, 14ms);
    EXPECT_EQ(device->statistics().hostBaud, 9600u);
    EXPECT_EQ(client->exchange("Synchronized\r\n", "Synchronized\r\nOK\r\n"),
              "Synchronized\r\nOK\r\n");
}

TEST_F(DeviceLineTest, AutobaudLocksOnlyAtTheCrystalsRatesOnAPacedLineBehindAnAdapter) {
    struct Rate {
        unsigned code;
        std::uint32_t baud;
        bool locks;
    };
    const Rate rates[] = {
        {B9600, 9600, true},   {B19200, 19200, true},    {B38400, 38400, true},
        {B57600, 57600, true}, {B115200, 115200, true},  {B230400, 230400, true},
        {B4800, 4800, false},  {B460800, 460800, false}, {B921600, 921600, false},
    };
    for (const Rate& rate : rates) {
        SCOPED_TRACE(rate.baud);
        DeviceOptions options;
        options.wireBaud = 0;
        options.adapterLatency = 16ms;
        start(options);
        client->setSpeed(rate.code);
        if (rate.locks) {
            client->synchronize();
            client->unlock();
            EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
            EXPECT_EQ(device->statistics().hostBaud, rate.baud);
        } else {
            // Silent, and still waiting: at a rate it can lock to the same device answers.
            EXPECT_EQ(client->collect("?", 300ms), "");
            EXPECT_FALSE(device->statistics().synchronized);
            client->setSpeed(B115200);
            EXPECT_EQ(client->exchange("?", "Synchronized\r\n"), "Synchronized\r\n");
        }
    }
}

TEST_F(DeviceLineTest, LogsEveryLineWithItsTime) {
    const std::string logPath = ::testing::TempDir() + "/lpcsim-line-test.log";
    DeviceOptions options;
    options.logPath = logPath;
    options.faults.push_back(*parseFaultRule("part-id=garble"));
    start(options);
    client->synchronize();
    EXPECT_EQ(command("J", "1\r\n196389\r\n"), "1\r\n196389\r\n");
    device.reset();
    std::ifstream file(logPath);
    std::stringstream text;
    text << file.rdbuf();
    const std::string log = text.str();
    EXPECT_NE(log.find("> Synchronized\\r\\n"), std::string::npos) << log;
    EXPECT_NE(log.find("< 14746\n"), std::string::npos) << log;
    EXPECT_NE(log.find("* fault part-id#1=garble"), std::string::npos) << log;
    EXPECT_NE(log.find("> 1\\r\\n196389\\r\\n"), std::string::npos) << log;
    std::remove(logPath.c_str());
}

TEST_F(DeviceLineTest, TheDestructorRemovesTheLinkItMade) {
    start();
    const std::string path = device->path();
    client.reset();
    device.reset();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
}

} // namespace
} // namespace sparwick::sim::test
