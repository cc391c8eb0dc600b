// Updates through the turbo flasher, its real code running on the simulator's emulated
// core: the shipped image written and verified by CRC-32, a corrupt copy that only the
// CRC catches, and failures that name the step and leave the device to a power cycle,
// after which the next update succeeds.
#include "flash/IspFlasher.h"
#include "flash/UpdateMessages.h"
#include "serial/DeviceNames.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"
#include "tests/support/Eventually.h"
#include "tests/support/MessageRecorder.h"

#include <gtest/gtest.h>

namespace sparwick {
namespace {

constexpr const char* port = "COM4";
constexpr std::size_t flashSize = 512000;
constexpr UpdateOptions turbo{.fast = false, .verify = false, .turbo = true};
constexpr UpdateOptions turboVerify{.fast = false, .verify = true, .turbo = true};
// The flasher's line at a rate of --baud's choosing.
constexpr UpdateOptions turboVerifyAt460800{
    .fast = false, .verify = true, .turbo = true, .turboBaud = 460800};

struct Device {
    explicit Device(const std::vector<std::string>& faults,
                    std::uint32_t crystalHz = sim::SystemControl::defaultCrystalHz,
                    std::vector<std::uint8_t> flash = {}, bool pllLocks = true) {
        sim::DeviceOptions options;
        options.crystalHz = crystalHz;
        options.flash = std::move(flash);
        options.pllLocks = pllLocks;
        for (const std::string& text : faults) {
            options.faults.push_back(*sim::parseFaultRule(text));
        }
        sim = std::make_unique<sim::SimulatedDevice>(options);
        standFor(port, sim->path());
    }
    ~Device() { forgetAllStandIns(); }

    std::unique_ptr<sim::SimulatedDevice> sim;
};

std::string firstMessage(const test::UpdateOutcome& outcome) {
    return outcome.messages.empty() ? "" : outcome.messages[0];
}

// The flash with a byte of a block of sector 5 (4 KB) changed.
std::vector<std::uint8_t> withOneBlockOff(std::vector<std::uint8_t> flash) {
    flash[0x5000 + 17] ^= 0x40;
    return flash;
}

// What the boot loader checks at a reset: the eight vector words add up to 0.
bool holdsValidCode(const std::vector<std::uint8_t>& flash) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        sum += static_cast<std::uint32_t>(flash[i]) << (8 * (i % 4));
    }
    return sum == 0;
}

TEST(TurboUpdateTest, OnlyTheBlocksThatDifferAreErasedAndWritten) {
    const auto current = test::expectedFlash(test::shippedImage(), flashSize);
    const auto oneBlockOff = withOneBlockOff(current);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> flash;
        std::uint32_t sectorsErased;
        std::uint32_t copies;
        std::vector<std::string> notes;
    };
    const std::vector<Case> cases = {
        {"a blank board", {}, 0, 59, {}},
        {"a board that holds the image", current, 0, 0, {std::string(msg::alreadyCurrent)}},
        // Sector 0 too: the vectors go last.
        {"one block differs", oneBlockOff, 2, 2, {}},
    };
    for (const Case& c : cases) {
        Device device({}, sim::SystemControl::defaultCrystalHz, c.flash);
        const auto outcome = test::runUpdate(port, true, nullptr, turboVerify);
        ASSERT_TRUE(outcome.succeeded) << c.name << ": " << firstMessage(outcome);
        EXPECT_EQ(outcome.notes, c.notes) << c.name;
        const auto stats = device.sim->statistics();
        EXPECT_EQ(stats.ramCodeSectorsErased, c.sectorsErased) << c.name;
        EXPECT_EQ(stats.ramCodeCopies, c.copies) << c.name;
        EXPECT_EQ(test::firstDifference(device.sim->flash(), current), -1) << c.name;
    }
}

TEST(TurboUpdateTest, ACheckWritesNothingAndNamesTheBlocksThatDiffer) {
    const auto current = test::expectedFlash(test::shippedImage(), flashSize);
    const auto oneBlockOff = withOneBlockOff(current);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> flash;
        UpdateOptions options;
        std::vector<std::uint32_t> differing;
    };
    // The read-back in ISP mode shows the boot block's vectors at 0 to 63; both ways
    // compare the rest.
    const std::vector<Case> cases = {
        {"current, by CRC", current, turbo, {}},
        {"one block off, by CRC", oneBlockOff, turbo, {0x5000}},
        {"one block off, read back", oneBlockOff, UpdateOptions{}, {0x5000}},
    };
    for (const Case& c : cases) {
        Device device({}, sim::SystemControl::defaultCrystalHz, c.flash);
        test::MessageRecorder messages;
        IspFlasher flasher;
        struct : ProgressSink {
            void setProgress(int) override {}
        } sink;
        EXPECT_EQ(flasher.check(sink, port, true, c.options), c.differing) << c.name;
        EXPECT_EQ(device.sim->statistics().ramCodeSectorsErased, 0u) << c.name;
        EXPECT_EQ(device.sim->statistics().ramCodeCopies, 0u) << c.name;
        EXPECT_EQ(device.sim->statistics().commandCount('C'), 0u) << c.name;
        EXPECT_EQ(test::firstDifference(device.sim->flash(), c.flash), -1) << c.name;
    }
}

TEST(TurboUpdateTest, TheShippedImageWrittenAndVerifiedStartsTheFirmware) {
    Device device({});
    const auto outcome = test::runUpdate(port, true, nullptr, turboVerifyAt460800);
    ASSERT_TRUE(outcome.succeeded) << firstMessage(outcome);
    EXPECT_EQ(outcome.messages, std::vector<std::string>{std::string(msg::success)});
    ASSERT_FALSE(outcome.progress.empty());
    EXPECT_EQ(outcome.progress.front(), 0);
    const auto image = test::shippedImage();
    EXPECT_EQ(test::firstDifference(device.sim->flash(), test::expectedFlash(image, flashSize)),
              -1);
    EXPECT_TRUE(sparwick::test::eventually([&] { return device.sim->statistics().firmwareStarted; },
                                           std::chrono::seconds{3}));
}

TEST(TurboUpdateTest, APllThatNeverLocksLeavesTheFlasherOnTheCrystalAndTheGoPutsItBack) {
    // The flasher gives up on the lock and runs from the crystal, its UART still at the
    // host's 921600 and its IAP calls told the crystal's clock (a copy timed for another
    // clock would program wrong bits, which the verify would find).
    constexpr std::uint32_t crystalHz = sim::SystemControl::defaultCrystalHz;
    Device device({}, crystalHz, {}, false);
    const auto outcome = test::runUpdate(port, true, nullptr, turboVerify);
    ASSERT_TRUE(outcome.succeeded) << firstMessage(outcome);
    EXPECT_EQ(test::firstDifference(device.sim->flash(),
                                    test::expectedFlash(test::shippedImage(), flashSize)),
              -1);
    ASSERT_TRUE(sparwick::test::eventually([&] { return device.sim->statistics().firmwareStarted; },
                                           std::chrono::seconds{3}));
    // The firmware finds the PLL off and unconfigured and UART0 at the boot loader's rate.
    const auto stats = device.sim->statistics();
    EXPECT_EQ(stats.ramCodeCoreClockHz, crystalHz);
    EXPECT_EQ(stats.ramCodePllControl, 0u);
    EXPECT_EQ(stats.ramCodePllConfig, 0u);
    EXPECT_EQ(stats.ramCodeBaud, 115200u);
}

TEST(TurboUpdateTest, ABlockChangedOnTheLineOnceIsSentAgain) {
    Device device({"flasher-block#3=garble"});
    const auto outcome = test::runUpdate(port, true, nullptr, turboVerify);
    ASSERT_TRUE(outcome.succeeded) << firstMessage(outcome);
    EXPECT_EQ(device.sim->statistics().faultsUsed, 1u);
    EXPECT_EQ(test::firstDifference(device.sim->flash(),
                                    test::expectedFlash(test::shippedImage(), flashSize)),
              -1);
}

TEST(TurboUpdateTest, AFlasherOffTheHostsRateFailsTheHandshakeAndAPowerCycleRecovers) {
    // A 12 MHz crystal: the flasher's divisor of 4 gives 750000 baud, not 921600.
    Device device({}, 12'000'000);
    const auto failed = test::runUpdate(port, true, nullptr, turbo);
    EXPECT_FALSE(failed.succeeded);
    const std::string message = firstMessage(failed);
    EXPECT_TRUE(message.starts_with(std::string(msg::turboFailedPrefix) + "handshake failed ("))
        << message;
    EXPECT_TRUE(message.ends_with(msg::turboRecovery)) << message;
    device.sim->powerCycle();
    const auto retried = test::runUpdate(port, true, nullptr, UpdateOptions{.fast = true});
    EXPECT_TRUE(retried.succeeded) << firstMessage(retried);
}

TEST(TurboUpdateTest, FailuresNameTheStepAndAPowerCycleRecovers) {
    struct Case {
        std::string fault;
        UpdateOptions options;
        std::string message;
    };
    const std::string prefix(msg::turboFailedPrefix);
    const std::string recovery(msg::turboRecovery);
    const std::vector<Case> cases = {
        {"copy#2=corrupt", turboVerify,
         prefix + "verify failed (flash CRC-32 differs from the image's). " + recovery},
        {"copy#3=status:9", turbo, prefix + "copy failed (IAP status 9). " + recovery},
        // Every block changed on its way in: the host gives up after sending it again.
        {"flasher-block=garble", turbo,
         prefix + "block failed (compressed block did not inflate). " + recovery},
    };
    for (const Case& c : cases) {
        Device device({c.fault});
        const auto failed = test::runUpdate(port, true, nullptr, c.options);
        EXPECT_FALSE(failed.succeeded) << c.fault;
        EXPECT_EQ(firstMessage(failed), c.message) << c.fault;
        EXPECT_FALSE(device.sim->statistics().firmwareStarted) << c.fault;
        // The vectors go last: at its next reset the boot loader starts nothing.
        EXPECT_FALSE(holdsValidCode(device.sim->flash())) << c.fault;
        device.sim->powerCycle();
        // The boot loader's own update: a fault on every flasher block stays in force.
        const auto retried = test::runUpdate(port, true, nullptr, UpdateOptions{.fast = true});
        EXPECT_TRUE(retried.succeeded) << c.fault << ": " << firstMessage(retried);
    }
}

} // namespace
} // namespace sparwick
