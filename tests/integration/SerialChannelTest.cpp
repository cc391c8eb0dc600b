// The serial channel over a real pseudo-terminal: the contract every channel keeps
// (tests/support/SerialChannelContract.cpp), and what only a Linux terminal shows: the
// exclusive open, the device's XOFF and XON, and a device that goes away.
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "tests/support/Eventually.h"
#include "tests/support/FarEnd.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/SerialChannelHarness.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace sparwick {
namespace {

using namespace std::chrono_literals;

// COM7 on a pseudo-terminal, COM8 on a path that does not exist, COM9 on a regular file.
class PseudoTerminalHarness : public test::SerialChannelHarness {
public:
    PseudoTerminalHarness()
        : file(std::filesystem::temp_directory_path() /
               ("not-a-tty-" + std::to_string(::getpid()))) {
        std::FILE* f = std::fopen(file.c_str(), "w");
        if (f) {
            std::fclose(f);
        }
        standFor(devicePort(), pty.devicePath());
        standFor(absentPort(), "/nonexistent/tty");
        standFor(notSerialPort(), file);
    }
    ~PseudoTerminalHarness() override {
        if (sender.joinable()) {
            sender.join();
        }
        forgetAllStandIns();
        std::filesystem::remove(file);
    }

    std::string devicePort() const override { return "COM7"; }
    std::string absentPort() const override { return "COM8"; }
    std::string notSerialPort() const override { return "COM9"; }

    void send(std::string_view bytes) override { pty.send(bytes); }
    void sendWithPause(std::string_view first, std::chrono::milliseconds pause,
                       std::string_view rest) override {
        pty.send(first);
        if (sender.joinable()) {
            sender.join();
        }
        sender = std::thread([this, pause, later = std::string(rest)] {
            std::this_thread::sleep_for(pause); // the device's own gap in what it sends
            pty.send(later);
        });
    }
    bool hostHolds(std::size_t count, std::chrono::milliseconds within) override {
        return test::eventually([&] { return pty.unread() >= count; }, within);
    }
    std::string received(std::size_t count, std::chrono::milliseconds within) override {
        return pty.receive(count, within);
    }
    test::LineSettings lineSettings() override { return pty.lineSettings(); }

private:
    test::FarEnd pty;
    std::filesystem::path file;
    std::thread sender;
};

// The device's XOFF and XON, the exclusive open, the hang-up: the pseudo-terminal itself.
class PosixSerialChannel : public ::testing::Test {
protected:
    void SetUp() override { standFor("COM7", pty.devicePath()); }
    void TearDown() override {
        port.close();
        forgetAllStandIns();
    }

    std::string readSome(std::int32_t wanted, std::uint32_t timeoutMs, bool* ok = nullptr) {
        return test::readChannel(port, wanted, timeoutMs, ok);
    }

    // The device's XOFF, and a byte after it that the channel reads: the terminal takes
    // its input in order, so once that byte is read the line has stopped our output.
    void stopTheLine() {
        pty.send("\x13m");
        ASSERT_EQ(readSome(1, 1000), "m");
    }

    test::FarEnd pty;
    test::MessageRecorder recorder;
    OsalSerialPort& port = OsalSerialPort::instance();
};

TEST_F(PosixSerialChannel, SecondOpenerOfTheSameDeviceIsRefused) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    serialsys::OpenFailure why = serialsys::OpenFailure::none;
    EXPECT_EQ(serialsys::openPort(pty.devicePath(), &why), serialsys::invalidPortHandle);
    EXPECT_EQ(why, serialsys::OpenFailure::inUse);
}

TEST_F(PosixSerialChannel, DeviceXoffStopsOurOutputUntilXon) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    ASSERT_NO_FATAL_FAILURE(stopTheLine());
    std::string beforeXon;
    std::thread device([&] {
        beforeXon = pty.receive(5, 200ms);
        pty.send("\x11");
    });
    EXPECT_TRUE(port.write("hello", 5));
    device.join();
    EXPECT_EQ(beforeXon, "");
    EXPECT_EQ(pty.receive(5, 1000ms), "hello");
}

TEST_F(PosixSerialChannel, WriteToAStoppedLineGivesUpAfterItsTimeOut) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    ASSERT_NO_FATAL_FAILURE(stopTheLine());
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port.write("held", 4)); // dropped, as a timed-out write is
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4500ms);
}

TEST_F(PosixSerialChannel, ARateTheSystemCannotSetIsRefusedAndThePortKeepsItsOwn) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    EXPECT_THROW(port.setBaudRate(12345), UserAbort);
    EXPECT_EQ(recorder.only(), "SetCommState error!");
    EXPECT_EQ(pty.lineSettings().baud, 115200u);
    EXPECT_EQ(port.baudRate(), 115200u);
    EXPECT_TRUE(port.write("G", 1)); // the guard was given back
}

TEST_F(PosixSerialChannel, AtASlowRateAWriteReturnsOnlyOnceTheLineCanCarryTheRestInTime) {
    ASSERT_TRUE(port.selectPort("COM7", false, 9600));
    // A checksum group of 20 data lines, as the fast update writes it: 1.3 s on the line.
    const std::string line(63, 'M');
    std::thread device([&] { pty.receive(20 * line.size(), 5000ms); });
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(port.write(line.data(), static_cast<std::int32_t>(line.size())));
    }
    // At most 0.7 s of it is left queued, so that the reply to the checksum line after it
    // can come within its time-out.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms);
    device.join();
}

TEST_F(PosixSerialChannel, DeviceThatGoesAwayFailsReadsAndWrites) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    pty.hangUp();
    bool ok = true;
    readSome(3, 1000, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(port.write("F", 1));
}

} // namespace

namespace test {

std::unique_ptr<SerialChannelHarness> makeSerialChannelHarness() {
    return std::make_unique<PseudoTerminalHarness>();
}

} // namespace test
} // namespace sparwick
