// The dialog program leaves the port as it found it on every way out it can see: the
// signals that end a program, and the window system going away.
#include "sim/SimulatedDevice.h"
#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sparwick {
namespace {

using namespace std::chrono_literals;

TEST(DialogWayOut, EveryWayOutLeavesThePortAsItWasFound) {
    struct Way {
        std::string name;
        int exitStatus;
    };
    const Way ways[] = {{"int", 130}, {"term", 143}, {"hup", 129}, {"x11", 1}, {"fatal", 1}};
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        sim::SimulatedDevice device(sim::DeviceOptions{});
        const std::string port = device.ptyPath();
        const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        termios before{};
        ::tcgetattr(fd, &before);
        ::cfsetspeed(&before, B9600);
        ::tcsetattr(fd, TCSANOW, &before);

        test::ChildProcess probe({SPARWICK_WAY_OUT_PROBE, port, way.name}, test::ChildSetup{});
        EXPECT_EQ(probe.readLine(10s), "open");
        const auto run = probe.wait(10s);
        EXPECT_EQ(run.exitStatus, way.exitStatus) << run.err;

        termios after{};
        ::tcgetattr(fd, &after);
        int exclusive = 1;
        ::ioctl(fd, TIOCGEXCL, &exclusive);
        EXPECT_EQ(::cfgetospeed(&after), B9600);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(exclusive, 0);
        ::close(fd);
    }
}

} // namespace
} // namespace sparwick
