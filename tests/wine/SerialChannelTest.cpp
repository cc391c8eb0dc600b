// The serial channel on the Win32 calls, run under Wine with its COM ports plugged into
// pseudo-terminals: the line settings as they reach the line, the read rules, the port
// selection state machine, and the guard on every way out. The ports are plugged in by
// tests/wine/run.py as tests/wine/CMakeLists.txt says.
#include "platform/UserAbort.h"
#include "serial/OsalSerialPort.h"
#include "tests/support/MessageRecorder.h"
#include "tests/wine/ScriptedDevice.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace sparwick {
namespace {

using namespace std::chrono_literals;

// A scripted device, its control line, a name with nothing behind it, and a regular file.
constexpr const char* devicePort = SPARWICK_WINE_DEVICE_PORT;
constexpr const char* controlPort = SPARWICK_WINE_CONTROL_PORT;
constexpr const char* absentPort = SPARWICK_WINE_ABSENT_PORT;
constexpr const char* notSerialPort = SPARWICK_WINE_FILE_PORT;

class SerialChannel : public ::testing::Test {
protected:
    static void SetUpTestSuite() { device = std::make_unique<test::ScriptedDevice>(controlPort); }
    static void TearDownTestSuite() { device.reset(); }
    void TearDown() override { port.close(); }

    std::string readSome(std::int32_t wanted, std::uint32_t timeoutMs, bool* ok = nullptr) {
        char buffer[256];
        std::uint32_t got = 0;
        bool result = port.read(buffer, got, wanted, timeoutMs);
        if (ok) {
            *ok = result;
        }
        return std::string(buffer, got);
    }

    static inline std::unique_ptr<test::ScriptedDevice> device;
    test::MessageRecorder recorder;
    OsalSerialPort& port = OsalSerialPort::instance();
};

TEST_F(SerialChannel, OpensWithTheLineSettingsOfTheIspLink) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    const auto line = device->lineSettings();
    EXPECT_EQ(line.baud, 115200u);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.parity, "none");
    EXPECT_EQ(line.stopBits, 1);
    EXPECT_TRUE(line.xonXoffOutput);
    EXPECT_FALSE(line.xonXoffInput);
    EXPECT_FALSE(line.hardwareHandshake);
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(SerialChannel, SameNameTwiceReopensNothingAndTheNewSpeedWaitsForTheNextOpen) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    EXPECT_TRUE(port.selectPort(devicePort, false));
    EXPECT_FALSE(port.isHighSpeed());
    EXPECT_EQ(device->lineSettings().baud, 115200u);
    port.close();
    ASSERT_TRUE(port.selectPort(devicePort, false));
    EXPECT_EQ(device->lineSettings().baud, 19200u);
}

TEST_F(SerialChannel, ReadEndsAtTheWantedCountAndLeavesTheRestForTheNextRead) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    device->send("0\r\n196389\r\n");
    EXPECT_EQ(readSome(3, 1000), "0\r\n");
    EXPECT_EQ(readSome(8, 1000), "196389\r\n");
}

TEST_F(SerialChannel, PauseLongerThanTheIntervalEndsTheReadWithWhatArrived) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    device->sendWithPause("Synchr", 300ms, "onized\r\n");
    bool ok = false;
    EXPECT_EQ(readSome(14, 1000, &ok), "Synchr");
    EXPECT_TRUE(ok);
    EXPECT_EQ(readSome(8, 1000), "onized\r\n");
}

TEST_F(SerialChannel, NothingWithinTheTimeOutIsASuccessfulEmptyRead) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    bool ok = false;
    EXPECT_EQ(readSome(14, 100, &ok), "");
    EXPECT_TRUE(ok);
}

TEST_F(SerialChannel, ReadOfLessThanOneByteIsRefusedWithoutTouchingTheCount) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    char buffer[4];
    for (std::int32_t wanted : {0, -1}) {
        std::uint32_t got = 77;
        EXPECT_FALSE(port.read(buffer, got, wanted, 100));
        EXPECT_EQ(got, 77u);
    }
}

TEST_F(SerialChannel, WritesReachTheDeviceAndNegativeLengthsAreRefused) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    EXPECT_TRUE(port.write("U 23130\r\n", 9));
    EXPECT_EQ(device->received(9, 1000ms), "U 23130\r\n");
    EXPECT_FALSE(port.write("J\r\n", -3));
    EXPECT_EQ(device->received(1, 100ms), "");
}

TEST_F(SerialChannel, ClosedChannelNeitherReadsNorWrites) {
    bool ok = true;
    EXPECT_EQ(readSome(3, 100, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_FALSE(port.write("?", 1));
    EXPECT_EQ(device->received(1, 100ms), "");
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(SerialChannel, PurgeDiscardsWhatTheDeviceSentBefore) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    device->send("stale echo");
    // The bytes cross the pseudo-terminal on the kernel's time, not ours.
    std::this_thread::sleep_for(50ms);
    port.purge(1);
    device->send("OK\r\n");
    EXPECT_EQ(readSome(4, 1000), "OK\r\n");
}

TEST_F(SerialChannel, NameOfSixCharactersIsRefusedAndKeepsThePort) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    EXPECT_THROW(port.selectPort("COM100", true), UserAbort);
    EXPECT_EQ(recorder.only(), "OSAL Port string size incorrect!");
    EXPECT_TRUE(port.write("A", 1)); // still open on the device's port
    EXPECT_EQ(device->received(1, 1000ms), "A");
    port.close(); // returns: the guard was given back
}

TEST_F(SerialChannel, PortThatDoesNotOpenFallsBackToTheOpenOneQuietly) {
    ASSERT_TRUE(port.selectPort(devicePort, true));
    EXPECT_FALSE(port.selectPort(absentPort, true));
    EXPECT_TRUE(recorder.messages().empty());
    // Closed and opened again: still usable, and by its own name.
    EXPECT_TRUE(port.write("B", 1));
    EXPECT_EQ(device->received(1, 1000ms), "B");
    EXPECT_TRUE(port.selectPort(devicePort, true));
}

TEST_F(SerialChannel, PortThatDoesNotOpenAfterCloseLeavesTheChannelClosed) {
    EXPECT_FALSE(port.selectPort(absentPort, true));
    EXPECT_FALSE(port.write("C", 1));
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(SerialChannel, EmptyNameAfterCloseEqualsTheEmptyNameAndOpensNothing) {
    port.close();
    EXPECT_TRUE(port.selectPort("", true));
    EXPECT_FALSE(port.write("D", 1));
    EXPECT_EQ(device->received(1, 100ms), "");
}

TEST_F(SerialChannel, PortWithoutLineSettingsIsLeftHalfOpenUntilClose) {
    EXPECT_THROW(port.selectPort(notSerialPort, true), UserAbort);
    EXPECT_EQ(recorder.only(), "OGetCommState error!");
    bool ok = true;
    readSome(1, 10, &ok);
    EXPECT_FALSE(ok); // not open for reading
    port.close();     // closes the half-open handle and returns: the guard is free
    EXPECT_FALSE(port.write("E", 1));
}

} // namespace
} // namespace sparwick
