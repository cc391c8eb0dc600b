// The port list probes once per process, so this executable builds one directory of
// stand-in devices before the first call and checks every rule against it.
#include "serial/ComPortList.h"

#include "serial/DeviceNames.h"
#include "serial/SerialSystem.h"
#include "tests/support/FarEnd.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace sparwick {
namespace {

namespace fs = std::filesystem;

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

class ComPorts : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("sparwick-ports-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        auto link = [](const char* name, const test::FarEnd& pty) {
            fs::create_symlink(pty.devicePath(), dir / name);
        };
        for (int i = 0; i < 5; ++i) {
            ptys.push_back(std::make_unique<test::FarEnd>());
        }
        link("ttyS0", *ptys[0]);                          // COM1
        link("ttyS2", *ptys[1]);                          // COM3, held by another program
        link("ttyS11", *ptys[2]);                         // COM12
        link("ttyAMA3", *ptys[3]);                        // COM100: a six-character name
        link("ttyAMA32", *ptys[4]);                       // past the table: would be COM129
        std::ofstream(dir / "ttyS4") << "not a terminal"; // COM5
        held = serialsys::openPort((dir / "ttyS2").string());
        setDeviceDirectory(dir.string());
    }

    static void TearDownTestSuite() {
        serialsys::closePort(held);
        setDeviceDirectory("/dev");
        fs::remove_all(dir);
        ptys.clear();
    }

    static inline fs::path dir;
    static inline std::vector<std::unique_ptr<test::FarEnd>> ptys;
    static inline serialsys::PortHandle held = serialsys::invalidPortHandle;
};

TEST_F(ComPorts, ListsExactlyThePresentPortsInAscendingOrderAndLeavesNothingOpen) {
    ASSERT_NE(held, serialsys::invalidPortHandle);
    std::size_t before = openDescriptors();
    const auto& ports = ComPortList::instance().ports();
    EXPECT_EQ(ports, (std::vector<std::string>{"COM1", "COM3", "COM12", "COM100"}));
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(ComPorts, SecondCallDoesNotProbeAgain) {
    const auto& first = ComPortList::instance().ports();
    fs::remove(dir / "ttyS0");
    EXPECT_EQ(&ComPortList::instance(), &ComPortList::instance());
    EXPECT_EQ(ComPortList::instance().ports(), first);
    EXPECT_EQ(ComPortList::instance().ports().front(), "COM1");
}

TEST(ComNames, TableMapsEachRangeAndNothingAboveIt) {
    EXPECT_EQ(serialsys::systemDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(serialsys::systemDevicePath("COM32"), "/dev/ttyS31");
    EXPECT_EQ(serialsys::systemDevicePath("COM33"), "/dev/ttyUSB0");
    EXPECT_EQ(serialsys::systemDevicePath("COM65"), "/dev/ttyACM0");
    EXPECT_EQ(serialsys::systemDevicePath("COM97"), "/dev/ttyAMA0");
    EXPECT_EQ(serialsys::systemDevicePath("COM128"), "/dev/ttyAMA31");
    for (const char* none : {"COM129", "COM256", "COM257", "COM0", "COM01", "com1", "COMX", ""}) {
        EXPECT_EQ(serialsys::systemDevicePath(none), "") << none;
    }
}

TEST(ComNames, StandInOverridesTheTableUntilForgotten) {
    standFor("COM2", "/tmp/some-link");
    EXPECT_EQ(devicePath("COM2"), "/tmp/some-link");
    standFor("COM2", "");
    EXPECT_EQ(devicePath("COM2"), "/dev/ttyS1");
}

} // namespace
} // namespace sparwick
