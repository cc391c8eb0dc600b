// Every failure a device can provoke, reached through the simulator's fault injection:
// each ends with its own message, leaves nothing of ours open, and once the device has
// been power-cycled a second update on the same port succeeds.
#include "flash/UpdateMessages.h"
#include "platform/Resources.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"
#include "tools/FirmwareGenerator.h"

#include <gtest/gtest.h>

namespace sparwick {
namespace {

constexpr const char* port = "COM2";

struct Fault {
    const char* rule;
    std::string_view message;
};

std::ostream& operator<<(std::ostream& out, const Fault& fault) {
    return out << fault.rule;
}

class FailurePath : public ::testing::TestWithParam<Fault> {};

TEST_P(FailurePath, EndsWithItsMessageAndTheNextUpdateSucceeds) {
    const Fault& fault = GetParam();
    std::string error;
    auto rule = sim::parseFaultRule(fault.rule, &error);
    ASSERT_TRUE(rule) << error;

    sim::DeviceOptions options;
    options.faults.push_back(*rule);
    sim::SimulatedDevice device(options);
    standFor(port, device.path());
    // Two blocks: enough for every per-block exchange to happen, and quick.
    auto image = tools::makeFirmwareImage(4097);
    const std::size_t terminals = test::openTerminalCount();

    auto failed = test::runUpdate(port, false, &image);
    EXPECT_FALSE(failed.succeeded);
    EXPECT_FALSE(failed.fatal);
    EXPECT_EQ(failed.messages, std::vector<std::string>{std::string(fault.message)});
    EXPECT_FALSE(OsalSerialPort::instance().write("?", 1)); // the port is closed

    // What the user does next: power the device off and on, and try again. An unplugged
    // device comes back on a new pty behind the same link a moment later.
    auto stats = device.statistics();
    if (stats.hangUps > 0) {
        ASSERT_TRUE(device.waitUntilServing(std::chrono::seconds(5), stats.ptyGeneration));
    }
    // Counted once the device holds its pty again: none of ours is left open.
    EXPECT_EQ(test::openTerminalCount(), terminals);
    device.powerCycle();
    auto retried = test::runUpdate(port, false, &image);
    EXPECT_TRUE(retried.succeeded) << (retried.messages.empty() ? "" : retried.messages[0]);
    EXPECT_EQ(test::firstDifference(device.flash(), test::expectedFlash(image, 512000)), -1);
    forgetAllStandIns();
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, FailurePath,
    ::testing::Values(
        Fault{"sync=silent", msg::noDevice}, Fault{"sync=short", msg::noDevice},
        Fault{"sync=garble", msg::noDevice}, Fault{"sync=hangup", msg::noDevice},
        // The extra byte passes the first exchange and spoils the second.
        Fault{"sync=extra", msg::syncFailure}, Fault{"sync-word=garble", msg::syncFailure},
        Fault{"sync-word=silent", msg::syncFailure},
        Fault{"sync-word=hangup", msg::couldNotCommunicate},
        Fault{"crystal=short", msg::clockFailure}, Fault{"echo=garble", msg::echoFailure},
        Fault{"unlock=status:19", msg::unlockFailure}, Fault{"part-id=garble", msg::partIdInvalid},
        Fault{"part-id#2=short", msg::partIdInvalid},
        Fault{"prepare=status:9", msg::sectorCommandFailed},
        Fault{"erase=status:9", msg::sectorCommandFailed},
        Fault{"blank-check=status:8", msg::sectorCommandFailed},
        Fault{"write=status:13", msg::writeToRamFailed},
        Fault{"data-checksum=resend", msg::checksumFailed},
        Fault{"data-checksum#3=garble", msg::checksumFailed},
        Fault{"prepare#2=silent", msg::sectorCommandFailed},
        Fault{"copy=status:9", msg::copyFailed}, Fault{"copy#2=extra", msg::goFailed},
        Fault{"go=status:13", msg::goFailed},
        // An adapter unplugged in the middle of a block.
        Fault{"data-checksum#2=hangup", msg::couldNotCommunicate},
        Fault{"write#2=hangup", msg::couldNotCommunicate}),
    [](const auto& testParam) {
        std::string name;
        for (char c : std::string(testParam.param.rule)) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST(FailurePath, PortThatDoesNotExistGivesTheLongMessage) {
    standFor("COM8", "/nonexistent/tty");
    auto outcome = test::runUpdate("COM8", true);
    EXPECT_EQ(outcome.messages, std::vector<std::string>{std::string(msg::noDevice)});
    forgetAllStandIns();
}

TEST(FailurePath, PortNameOfSixCharactersIsRefusedByTheChannel) {
    auto outcome = test::runUpdate("COM100", true);
    EXPECT_EQ(outcome.messages, std::vector<std::string>{"OSAL Port string size incorrect!"});
}

TEST(FailurePath, MissingImageEndsBeforeThePortIsTouched) {
    struct Case {
        ResourceStep step;
        std::string_view message;
    };
    for (auto [step, message] : {Case{ResourceStep::find, msg::couldNotExtractImage},
                                 Case{ResourceStep::load, msg::couldNotLoadImage},
                                 Case{ResourceStep::lock, msg::couldNotLockImage}}) {
        failResourceStep(step);
        auto outcome = test::runUpdate("COM1", true);
        EXPECT_EQ(outcome.messages, std::vector<std::string>{std::string(message)});
    }
    restoreResources();
}

} // namespace
} // namespace sparwick
