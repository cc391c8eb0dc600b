// Updates that read the flash back before the go: a flash that differs from the image is
// caught although every command answered 0, the read-back's own failures end with their
// messages, and each way out leaves the device in ISP mode and the next update working.
#include "flash/FlashImage.h"
#include "flash/UpdateMessages.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"
#include "tools/FirmwareGenerator.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace sparwick {
namespace {

constexpr const char* port = "COM4";
constexpr std::size_t flashSize = 512000;
constexpr UpdateOptions verify{.fast = false, .verify = true};

// Five blocks, the last one partly filled: its middle byte still belongs to the image.
constexpr std::size_t fiveBlocks = 4 * 4096 + 3000;
// Two blocks: block 0 read back from offset 64, and one byte of block 1.
constexpr std::size_t twoBlocks = 4097;

sim::FaultRule rule(const std::string& text) {
    std::string error;
    auto parsed = sim::parseFaultRule(text, &error);
    if (!parsed) {
        throw std::invalid_argument(error);
    }
    return *parsed;
}

struct Device {
    explicit Device(const std::vector<std::string>& faults)
        : sim([&] {
            sim::DeviceOptions options;
            for (const std::string& text : faults) {
                options.faults.push_back(rule(text));
            }
            return options;
        }()) {
        standFor(port, sim.path());
    }
    ~Device() { forgetAllStandIns(); }

    sim::SimulatedDevice sim;
};

std::string firstMessage(const test::UpdateOutcome& outcome) {
    return outcome.messages.empty() ? "" : outcome.messages[0];
}

// What the user does after a failure: power the device off and on and update again.
void expectTheNextUpdateSucceeds(Device& device, const std::vector<std::uint8_t>& image) {
    device.sim.powerCycle();
    auto retried = test::runUpdate(port, false, &image, verify);
    EXPECT_TRUE(retried.succeeded) << firstMessage(retried);
    EXPECT_EQ(test::firstDifference(device.sim.flash(), test::expectedFlash(image, flashSize)), -1);
    EXPECT_TRUE(device.sim.wentToUserCode());
}

std::string differenceAt(std::uint32_t offset, std::uint8_t found, std::uint8_t expected) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "\nFirst difference at offset %u (0x%05X): found 0x%02X, expected 0x%02X.",
                  offset, offset, found, expected);
    return std::string(msg::verifyFailed) + text;
}

TEST(Verify, AWholeUpdateReadsBackEveryByteItWroteBeyondTheVectors) {
    Device device({});
    auto image = tools::makeFirmwareImage(fiveBlocks);
    auto outcome = test::runUpdate(port, false, &image, verify);
    ASSERT_TRUE(outcome.succeeded) << firstMessage(outcome);
    EXPECT_EQ(outcome.messages, std::vector<std::string>{std::string(msg::success)});
    ASSERT_TRUE(outcome.verified);
    EXPECT_EQ(outcome.verified->begin(), 64u);
    EXPECT_EQ(outcome.verified->end(), fiveBlocks);
    // 19,320 bytes in chunks of 4,500: a report before the first and after each.
    EXPECT_EQ(outcome.verifyProgress, (std::vector<int>{0, 23, 46, 69, 93, 100}));
    EXPECT_EQ(outcome.progress.back(), 84);
    // R 64 4500, then each chunk on from where the last one ended, the go after them all.
    const auto stats = device.sim.statistics();
    EXPECT_EQ(stats.commandCount('R'), 5u);
    EXPECT_EQ(stats.commandCount('G'), 1u);
    EXPECT_EQ(stats.resendsSent, 0u);
}

TEST(Verify, HighSpeedUpdateIsVerifiedToo) {
    Device device({});
    auto image = tools::makeFirmwareImage(twoBlocks);
    auto outcome = test::runUpdate(port, true, &image, verify);
    ASSERT_TRUE(outcome.succeeded) << firstMessage(outcome);
    ASSERT_TRUE(outcome.verified);
    EXPECT_EQ(outcome.verified->size(), twoBlocks - 64);
    EXPECT_EQ(outcome.verifyProgress, (std::vector<int>{0, 100}));
}

TEST(Verify, ImageOf64BytesOrFewerHasNothingToReadBack) {
    Device device({});
    auto image = tools::makeFirmwareImage(64);
    auto outcome = test::runUpdate(port, false, &image, verify);
    ASSERT_TRUE(outcome.succeeded) << firstMessage(outcome);
    ASSERT_TRUE(outcome.verified);
    EXPECT_TRUE(outcome.verified->empty());
    EXPECT_TRUE(outcome.verifyProgress.empty());
    EXPECT_EQ(device.sim.statistics().commandCount('R'), 0u);
}

struct Corruption {
    const char* rule;
    bool highSpeed;
    std::size_t imageSize;
    std::uint32_t offset; // the byte whose bit the copy flips
};

std::ostream& operator<<(std::ostream& out, const Corruption& c) {
    return out << c.rule << (c.highSpeed ? " high" : " low");
}

class CorruptFlash : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptFlash, IsCaughtBeforeTheGoAndNamedByItsOffset) {
    const Corruption& c = GetParam();
    Device device({c.rule});
    auto image = tools::makeFirmwareImage(c.imageSize);
    const std::size_t terminals = test::openTerminalCount();

    auto failed = test::runUpdate(port, c.highSpeed, &image, verify);
    EXPECT_FALSE(failed.succeeded);
    EXPECT_FALSE(failed.fatal);
    const std::uint8_t expected = FlashImage::patched(image)[c.offset];
    EXPECT_EQ(failed.messages,
              std::vector<std::string>{
                  differenceAt(c.offset, static_cast<std::uint8_t>(expected ^ 0x01), expected)});
    // The firmware was not started, and nothing of ours is left open.
    EXPECT_EQ(device.sim.statistics().commandCount('G'), 0u);
    EXPECT_FALSE(device.sim.wentToUserCode());
    EXPECT_FALSE(OsalSerialPort::instance().write("?", 1));
    EXPECT_EQ(test::openTerminalCount(), terminals);

    expectTheNextUpdateSucceeds(device, image);
}

INSTANTIATE_TEST_SUITE_P(
    FirstMiddleAndLastBlock, CorruptFlash,
    ::testing::Values(Corruption{"copy#1=corrupt", false, fiveBlocks, 2048},
                      Corruption{"copy#3=corrupt", false, fiveBlocks, 2 * 4096 + 2048},
                      Corruption{"copy#5=corrupt", false, fiveBlocks, 4 * 4096 + 2048},
                      Corruption{"copy#2=corrupt", true, 4096 + 2049, 4096 + 2048}),
    [](const auto& testParam) {
        return std::string(testParam.param.highSpeed ? "High" : "Low") + "Copy" +
               std::string(1, testParam.param.rule[5]);
    });

TEST(Verify, WithoutItTheSameCorruptionIsReportedAsSuccess) {
    // The reason the option exists: every command answered 0, so the update as the dialog
    // runs it starts firmware that is not the image.
    Device device({"copy#3=corrupt"});
    auto image = tools::makeFirmwareImage(fiveBlocks);
    auto outcome = test::runUpdate(port, false, &image);
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_EQ(outcome.messages, std::vector<std::string>{std::string(msg::success)});
    EXPECT_EQ(test::firstDifference(device.sim.flash(), test::expectedFlash(image, flashSize)),
              2 * 4096 + 2048);
    EXPECT_TRUE(device.sim.wentToUserCode());
}

// Code read protection refusing R, which the verify names.
const std::string readRefused = std::string(msg::readFailed) + std::string(msg::protectionNamed);

struct ReadFault {
    std::vector<std::string> rules;
    std::string_view message;
    std::uint32_t resends; // RESENDs the host sent
};

std::ostream& operator<<(std::ostream& out, const ReadFault& fault) {
    return out << fault.rules.front() << " (" << fault.rules.size() << ")";
}

class ReadBackFault : public ::testing::TestWithParam<ReadFault> {};

TEST_P(ReadBackFault, EndsWithItsMessageBeforeTheGo) {
    const ReadFault& fault = GetParam();
    Device device(fault.rules);
    auto image = tools::makeFirmwareImage(twoBlocks);
    const std::size_t terminals = test::openTerminalCount();

    auto failed = test::runUpdate(port, false, &image, verify);
    EXPECT_FALSE(failed.succeeded);
    EXPECT_FALSE(failed.fatal);
    EXPECT_EQ(failed.messages, std::vector<std::string>{std::string(fault.message)});
    EXPECT_EQ(device.sim.statistics().commandCount('G'), 0u);
    EXPECT_EQ(device.sim.statistics().resendsSent, fault.resends);
    EXPECT_FALSE(OsalSerialPort::instance().write("?", 1));

    auto stats = device.sim.statistics();
    if (stats.hangUps > 0) {
        ASSERT_TRUE(device.sim.waitUntilServing(std::chrono::seconds(5), stats.ptyGeneration));
    }
    EXPECT_EQ(test::openTerminalCount(), terminals);
    expectTheNextUpdateSucceeds(device, image);
}

INSTANTIATE_TEST_SUITE_P(
    ReplyToR, ReadBackFault,
    ::testing::Values(
        ReadFault{{"read=silent"}, msg::readFailed, 0},
        // The first group's sum line without its line feed: the host waits for it in vain.
        ReadFault{{"read=short"}, msg::readFailed, 0},
        // The status 1 where 0 belongs.
        ReadFault{{"read=garble"}, msg::readFailed, 0},
        // Code read protection.
        ReadFault{{"read=status:19"}, readRefused, 0},
        ReadFault{{"read=hangup"}, msg::couldNotCommunicate, 0},
        ReadFault{{"read-checksum#3=short"}, msg::readFailed, 0},
        // Four wrong sums for the same lines: three RESENDs, then the host gives up.
        ReadFault{{"read-checksum#2=garble", "read-checksum#3=garble", "read-checksum#4=garble",
                   "read-checksum#5=garble"},
                  msg::readChecksumFailed,
                  3}),
    [](const auto& testParam) {
        std::string name;
        for (char c : testParam.param.rules.front()) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name + (testParam.param.rules.size() > 1 ? "_every_time" : "");
    });

TEST(Verify, AWrongSumIsAnsweredWithResendAndTheLinesComeAgain) {
    // Three wrong sums in a row are still within the three RESENDs the host allows.
    Device device({"read-checksum#2=garble", "read-checksum#3=status:7", "read-checksum#4=garble"});
    auto image = tools::makeFirmwareImage(twoBlocks);
    auto outcome = test::runUpdate(port, false, &image, verify);
    EXPECT_TRUE(outcome.succeeded) << firstMessage(outcome);
    EXPECT_EQ(device.sim.statistics().resendsSent, 3u);
    EXPECT_TRUE(device.sim.wentToUserCode());
}

TEST(Verify, OneWrongSumCostsOneResend) {
    Device device({"read-checksum#4=garble"});
    auto image = tools::makeFirmwareImage(twoBlocks);
    auto outcome = test::runUpdate(port, false, &image, verify);
    EXPECT_TRUE(outcome.succeeded) << firstMessage(outcome);
    EXPECT_EQ(device.sim.statistics().resendsSent, 1u);
}

} // namespace
} // namespace sparwick
