// The serial channel over a real pseudo-terminal: the read rules, the port selection
// state machine, and the guard on every way out.
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/PseudoTerminal.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sparwick {
namespace {

using namespace std::chrono_literals;

class SerialChannel : public ::testing::Test {
protected:
    void SetUp() override { standFor("COM7", pty.devicePath()); }
    void TearDown() override {
        port.close();
        forgetAllStandIns();
    }

    std::string readSome(std::int32_t wanted, std::uint32_t timeoutMs, bool* ok = nullptr) {
        char buffer[256];
        std::uint32_t got = 0;
        bool result = port.read(buffer, got, wanted, timeoutMs);
        if (ok) {
            *ok = result;
        }
        return std::string(buffer, got);
    }

    speed_t lineSpeed() const {
        int fd = ::open(pty.devicePath().c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::close(fd);
        return cfgetospeed(&tio);
    }

    test::PseudoTerminal pty;
    test::MessageRecorder recorder;
    OsalSerialPort& port = OsalSerialPort::instance();
};

TEST_F(SerialChannel, ReadEndsAtTheWantedCountAndLeavesTheRestForTheNextRead) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    pty.send("0\r\n196389\r\n");
    EXPECT_EQ(readSome(3, 1000), "0\r\n");
    EXPECT_EQ(readSome(8, 1000), "196389\r\n");
}

TEST_F(SerialChannel, PauseLongerThanTheIntervalEndsTheReadWithWhatArrived) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    std::thread device([this] {
        pty.send("Synchr");
        std::this_thread::sleep_for(150ms);
        pty.send("onized\r\n");
    });
    bool ok = false;
    EXPECT_EQ(readSome(14, 1000, &ok), "Synchr");
    EXPECT_TRUE(ok);
    device.join();
    EXPECT_EQ(readSome(8, 1000), "onized\r\n");
}

TEST_F(SerialChannel, NothingWithinTheTimeOutIsASuccessfulEmptyRead) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    bool ok = false;
    EXPECT_EQ(readSome(14, 100, &ok), "");
    EXPECT_TRUE(ok);
}

TEST_F(SerialChannel, ReadOfLessThanOneByteIsRefusedWithoutTouchingTheCount) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    char buffer[4];
    for (std::int32_t wanted : {0, -1}) {
        std::uint32_t got = 77;
        EXPECT_FALSE(port.read(buffer, got, wanted, 100));
        EXPECT_EQ(got, 77u);
    }
}

TEST_F(SerialChannel, ClosedChannelNeitherReadsNorWrites) {
    bool ok = true;
    EXPECT_EQ(readSome(3, 100, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_FALSE(port.write("?", 1));
    EXPECT_EQ(pty.receive(1, 100ms), "");
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(SerialChannel, WritesReachTheDeviceAndNegativeLengthsAreRefused) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    EXPECT_TRUE(port.write("U 23130\r\n", 9));
    EXPECT_EQ(pty.receive(9, 1000ms), "U 23130\r\n");
    EXPECT_FALSE(port.write("J\r\n", -3));
    EXPECT_EQ(pty.receive(1, 100ms), "");
}

TEST_F(SerialChannel, SameNameTwiceReopensNothingAndTheNewSpeedWaitsForTheNextOpen) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    EXPECT_EQ(lineSpeed(), B115200);
    EXPECT_TRUE(port.selectPort("COM7", false));
    EXPECT_FALSE(port.isHighSpeed());
    EXPECT_EQ(lineSpeed(), B115200);
    port.close();
    ASSERT_TRUE(port.selectPort("COM7", false));
    EXPECT_EQ(lineSpeed(), B19200);
}

TEST_F(SerialChannel, NameOfSixCharactersIsRefusedAndKeepsThePort) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    EXPECT_THROW(port.selectPort("COM100", true), UserAbort);
    EXPECT_EQ(recorder.only(), "OSAL Port string size incorrect!");
    EXPECT_TRUE(port.write("A", 1)); // still open on COM7
    EXPECT_EQ(pty.receive(1, 1000ms), "A");
    port.close(); // the guard was given back
}

TEST_F(SerialChannel, PortThatDoesNotOpenFallsBackToTheOpenOneQuietly) {
    standFor("COM8", "/nonexistent/tty");
    ASSERT_TRUE(port.selectPort("COM7", true));
    EXPECT_FALSE(port.selectPort("COM8", true));
    EXPECT_TRUE(recorder.messages().empty());
    // COM7 was closed and opened again: the channel is still usable on it.
    EXPECT_TRUE(port.write("B", 1));
    EXPECT_EQ(pty.receive(1, 1000ms), "B");
    // And it is COM7 by name: selecting it again changes nothing.
    EXPECT_TRUE(port.selectPort("COM7", true));
}

TEST_F(SerialChannel, PortThatDoesNotOpenAfterCloseLeavesTheChannelClosed) {
    standFor("COM8", "/nonexistent/tty");
    EXPECT_FALSE(port.selectPort("COM8", true));
    EXPECT_FALSE(port.write("C", 1));
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(SerialChannel, EmptyNameAfterCloseEqualsTheEmptyNameAndOpensNothing) {
    port.close();
    EXPECT_TRUE(port.selectPort("", true));
    EXPECT_FALSE(port.write("D", 1));
}

TEST_F(SerialChannel, PathThatIsNotATerminalLeavesTheChannelHalfOpenUntilClose) {
    auto file = std::filesystem::temp_directory_path() / ("not-a-tty-" + std::to_string(getpid()));
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    standFor("COM9", file);

    EXPECT_THROW(port.selectPort("COM9", true), UserAbort);
    EXPECT_EQ(recorder.only(), "OGetCommState error!");
    bool ok = true;
    readSome(1, 10, &ok);
    EXPECT_FALSE(ok); // not open for reading
    port.close();     // closes the half-open handle and returns: the guard is free
    EXPECT_FALSE(port.write("E", 1));
    std::filesystem::remove(file);
}

TEST_F(SerialChannel, SecondOpenerOfTheSameDeviceIsRefused) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    serialsys::OpenFailure why = serialsys::OpenFailure::none;
    EXPECT_EQ(serialsys::openPort(pty.devicePath(), &why), serialsys::invalidPortHandle);
    EXPECT_EQ(why, serialsys::OpenFailure::inUse);
}

TEST_F(SerialChannel, DeviceXoffStopsOurOutputUntilXon) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    pty.send("\x13");
    std::this_thread::sleep_for(50ms);
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

TEST_F(SerialChannel, WriteToAStoppedLineGivesUpAfterItsTimeOut) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    pty.send("\x13");
    std::this_thread::sleep_for(50ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port.write("held", 4)); // dropped, as a timed-out write is
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4500ms);
}

TEST_F(SerialChannel, DeviceThatGoesAwayFailsReadsAndWrites) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    pty.hangUp();
    bool ok = true;
    readSome(3, 1000, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(port.write("F", 1));
}

TEST_F(SerialChannel, PurgeDiscardsWhatTheDeviceSentBefore) {
    ASSERT_TRUE(port.selectPort("COM7", true));
    pty.send("stale echo");
    std::this_thread::sleep_for(50ms);
    port.purge(1);
    pty.send("OK\r\n");
    EXPECT_EQ(readSome(4, 1000), "OK\r\n");
}

} // namespace
} // namespace sparwick
