// Updates paced by the device (--fast): the shipped image written byte for byte at both
// speeds and on both parts, data lines lost on the way sent again, and the default path's
// answer to the same RESEND.
#include "flash/UpdateMessages.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <unistd.h>

namespace sparwick {
namespace {

constexpr const char* port = "COM3";
constexpr UpdateOptions fast{.fast = true};

// The data lines of one block of 4140 bytes, and the checksum group of 20 lines that the
// 25th of them belongs to.
constexpr std::uint32_t linesPerBlock = 92;
constexpr std::uint32_t linesPerGroup = 20;
// A line in the second group of block 29, the middle of the shipped image's 59, counted
// from 1 over the update.
constexpr std::uint32_t middleLine = 29 * linesPerBlock + 25;

std::string logText(const std::filesystem::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

sim::FaultRule dropRule(std::uint32_t line, std::uint32_t bytes) {
    return *sim::parseFaultRule("data-line#" + std::to_string(line) +
                                "=drop:" + std::to_string(bytes));
}

class FastUpdate : public ::testing::Test {
protected:
    void start(sim::DeviceOptions options) {
        logPath = std::filesystem::temp_directory_path() /
                  ("sparwick-fast-" + std::to_string(::getpid()) + ".log");
        options.logPath = logPath.string();
        device = std::make_unique<sim::SimulatedDevice>(std::move(options));
        standFor(port, device->path());
    }
    void TearDown() override { stop(); }
    void stop() {
        device.reset();
        forgetAllStandIns();
        std::filesystem::remove(logPath);
    }
    std::vector<std::uint8_t> expected() const {
        return test::expectedFlash(test::shippedImage(), device->flash().size());
    }

    std::filesystem::path logPath;
    std::unique_ptr<sim::SimulatedDevice> device;
};

TEST_F(FastUpdate, WritesTheImageAtBothSpeedsOnBothParts) {
    for (const std::uint32_t part : {196389u, 196387u}) {
        for (const bool highSpeed : {true, false}) {
            SCOPED_TRACE(std::to_string(part) + (highSpeed ? " high" : " low"));
            sim::DeviceOptions options;
            options.partId = part;
            start(options);
            auto outcome = test::runUpdate(port, highSpeed, nullptr, fast);
            EXPECT_TRUE(outcome.succeeded) << ::testing::PrintToString(outcome.messages);
            EXPECT_EQ(outcome.messages, std::vector<std::string>{std::string(msg::success)});
            EXPECT_EQ(test::firstDifference(device->flash(), expected()), -1);
            EXPECT_TRUE(device->userCodeValid());
            EXPECT_EQ(device->statistics().resendsSent, 0u);
            // The same progress as the default: one report per block.
            EXPECT_EQ(outcome.progress.size(), 59u);
            stop();
        }
    }
}

TEST_F(FastUpdate, ALineLostInAMiddleBlockIsSentAgainOnce) {
    sim::DeviceOptions options;
    options.faults.push_back(dropRule(middleLine, 5));
    start(options);
    auto outcome = test::runUpdate(port, true, nullptr, fast);
    EXPECT_TRUE(outcome.succeeded) << ::testing::PrintToString(outcome.messages);
    EXPECT_EQ(test::firstDifference(device->flash(), expected()), -1);
    EXPECT_EQ(device->statistics().resendsSent, 1u);
    // The whole group went again, and the copy of the block was made once.
    EXPECT_EQ(device->statistics().commandCount('C'), 59u);
    device.reset();
    const std::string log = logText(logPath);
    EXPECT_EQ(count(log, "> RESEND\\r\\n"), 1u) << log.substr(0, 2000);
    EXPECT_NE(log.find("* fault data-line#" + std::to_string(middleLine) + "=drop:5"),
              std::string::npos);
}

TEST_F(FastUpdate, TheSameLineLostOnEveryTryEndsTheUpdateAndTheNextOneSucceeds) {
    sim::DeviceOptions options;
    // The first try and both of the group's paced tries lose the same line.
    for (std::uint32_t attempt = 0; attempt < 3; ++attempt) {
        options.faults.push_back(dropRule(middleLine + attempt * linesPerGroup, 3));
    }
    start(options);
    const std::size_t terminals = test::openTerminalCount();
    auto failed = test::runUpdate(port, true, nullptr, fast);
    EXPECT_FALSE(failed.succeeded);
    EXPECT_FALSE(failed.fatal);
    EXPECT_EQ(failed.messages, std::vector<std::string>{std::string(msg::checksumFailed)});
    EXPECT_EQ(device->statistics().resendsSent, 3u);
    EXPECT_EQ(device->statistics().commandCount('C'), 29u);
    EXPECT_FALSE(OsalSerialPort::instance().write("?", 1)); // the port is closed
    EXPECT_EQ(test::openTerminalCount(), terminals);

    device->powerCycle();
    auto retried = test::runUpdate(port, true, nullptr, fast);
    EXPECT_TRUE(retried.succeeded) << ::testing::PrintToString(retried.messages);
    EXPECT_EQ(test::firstDifference(device->flash(), expected()), -1);
}

TEST_F(FastUpdate, WithoutFastARefusedChecksumEndsTheUpdateAtOnce) {
    // A line of the third block: the default path sends nothing after the RESEND.
    constexpr std::uint32_t line = 2 * linesPerBlock + 25;
    sim::DeviceOptions options;
    options.faults.push_back(dropRule(line, 5));
    start(options);
    auto failed = test::runUpdate(port, false);
    EXPECT_EQ(failed.messages, std::vector<std::string>{std::string(msg::checksumFailed)});
    EXPECT_EQ(device->statistics().resendsSent, 1u);
    device.reset();
    const std::string log = logText(logPath);
    const std::size_t resend = log.find("> RESEND\\r\\n");
    ASSERT_NE(resend, std::string::npos);
    EXPECT_EQ(log.find(" < ", resend), std::string::npos) << log.substr(resend);
}

} // namespace
} // namespace sparwick
