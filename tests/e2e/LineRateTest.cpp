// Updates at a line rate of their own (what --baud gives the engine) against the simulated
// boot loader: the rate reaches the line, the pause after each data line is the speed's
// nearest the rate, and a rate the part's autobaud cannot lock to ends with the message
// that tells the user what to check.
#include "flash/UpdateMessages.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"
#include "tools/FirmwareGenerator.h"

#include <gtest/gtest.h>

namespace sparwick {
namespace {

constexpr const char* port = "COM5";

struct Device {
    Device()
        : sim(sim::DeviceOptions{}) {
        standFor(port, sim.path());
    }
    ~Device() { forgetAllStandIns(); }

    sim::SimulatedDevice sim;
};

TEST(LineRate, UpdateAndVerifyAtTheRateGivenWithTheSpeedsPauseNearestIt) {
    struct Case {
        std::uint32_t baud;
        bool fast;
        bool pausedAsHighSpeed;
    };
    // Without --fast a small image keeps the 20 ms pauses short.
    const Case cases[] = {
        {57600, true, true},
        {57600, false, true},
        {9600, false, false},
    };
    // One block: the channel paces its writes at 9600 baud as the line would.
    const auto image = tools::makeFirmwareImage(1000);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + (c.fast ? " fast" : ""));
        Device device;
        const UpdateOptions options{.fast = c.fast, .verify = true, .baudRate = c.baud};
        // The speed given is the other one: the rate decides.
        auto outcome = test::runUpdate(port, !c.pausedAsHighSpeed, &image, options);
        ASSERT_TRUE(outcome.succeeded) << ::testing::PrintToString(outcome.messages);
        ASSERT_TRUE(outcome.verified);
        EXPECT_EQ(outcome.verified->end(), image.size());
        EXPECT_EQ(test::firstDifference(device.sim.flash(), test::expectedFlash(image, 512000)),
                  -1);
        EXPECT_EQ(device.sim.statistics().hostBaud, c.baud);
        EXPECT_EQ(OsalSerialPort::instance().isHighSpeed(), c.pausedAsHighSpeed);
    }
}

TEST(LineRate, ARateThePartCannotLockToEndsWithTheLongMessageAndThePortClosed) {
    Device device;
    const std::size_t terminalsBefore = test::openTerminalCount();
    const auto image = tools::makeFirmwareImage(100);
    auto outcome = test::runUpdate(port, true, &image, UpdateOptions{.baudRate = 460800});
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.messages, std::vector<std::string>{std::string(msg::noDevice)});
    EXPECT_FALSE(device.sim.statistics().synchronized);
    EXPECT_EQ(test::openTerminalCount(), terminalsBefore);
}

} // namespace
} // namespace sparwick
