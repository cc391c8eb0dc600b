// The serial channel's contract, the same on every system: the line settings as they reach
// the line, the read rules, the port selection state machine, and the guard on every way
// out. Compiled into each test program of a channel, which gives the harness: the Linux
// channel over a pseudo-terminal (tests/integration), the Win32 channel under Wine with a
// scripted device behind its COM ports (tests/wine).
#include "platform/UserAbort.h"
#include "serial/OsalSerialPort.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/SerialChannelHarness.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>

namespace sparwick {
namespace {

using namespace std::chrono_literals;

// Well beyond the channel's interval between bytes, and beyond a Wine server's delays.
constexpr auto devicePause = 300ms;

class SerialChannel : public ::testing::Test {
protected:
    void SetUp() override { line = test::makeSerialChannelHarness(); }
    void TearDown() override {
        port.close();
        line.reset();
    }

    std::string readSome(std::int32_t wanted, std::uint32_t timeoutMs, bool* ok = nullptr) {
        return test::readChannel(port, wanted, timeoutMs, ok);
    }

    std::unique_ptr<test::SerialChannelHarness> line;
    test::MessageRecorder recorder;
    OsalSerialPort& port = OsalSerialPort::instance();
};

TEST_F(SerialChannel, OpensWithTheLineSettingsOfTheIspLink) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    const auto settings = line->lineSettings();
    EXPECT_EQ(settings.baud, 115200u);
    EXPECT_EQ(settings.dataBits, 8);
    EXPECT_EQ(settings.parity, "none");
    EXPECT_EQ(settings.stopBits, 1);
    EXPECT_TRUE(settings.xonXoffOutput);
    EXPECT_FALSE(settings.xonXoffInput);
    EXPECT_FALSE(settings.hardwareHandshake);
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(SerialChannel, SameNameTwiceReopensNothingAndTheNewSpeedWaitsForTheNextOpen) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    EXPECT_EQ(line->lineSettings().baud, 115200u);
    EXPECT_TRUE(port.selectPort(line->devicePort(), false));
    EXPECT_FALSE(port.isHighSpeed());
    EXPECT_EQ(line->lineSettings().baud, 115200u);
    port.close();
    ASSERT_TRUE(port.selectPort(line->devicePort(), false));
    EXPECT_EQ(line->lineSettings().baud, 19200u);
}

TEST_F(SerialChannel, ARateOfItsOwnTakesTheSpeedsPlaceAndChangesWhileThePortIsOpen) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true, 230400));
    EXPECT_EQ(line->lineSettings().baud, 230400u);
    // As after a flasher loaded into the device's RAM has set a rate of its own.
    port.setBaudRate(921600);
    const auto settings = line->lineSettings();
    EXPECT_EQ(settings.baud, 921600u);
    EXPECT_EQ(port.baudRate(), 921600u);
    EXPECT_TRUE(settings.xonXoffOutput);
    EXPECT_EQ(settings.dataBits, 8);
    port.close();
    // A selection without a rate is the speed's again.
    ASSERT_TRUE(port.selectPort(line->devicePort(), false));
    EXPECT_EQ(line->lineSettings().baud, 19200u);
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(SerialChannel, ReadEndsAtTheWantedCountAndLeavesTheRestForTheNextRead) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    line->send("0\r\n196389\r\n");
    EXPECT_EQ(readSome(3, 1000), "0\r\n");
    EXPECT_EQ(readSome(8, 1000), "196389\r\n");
}

TEST_F(SerialChannel, PauseLongerThanTheIntervalEndsTheReadWithWhatArrived) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    line->sendWithPause("Synchr", devicePause, "onized\r\n");
    bool ok = false;
    EXPECT_EQ(readSome(14, 1000, &ok), "Synchr");
    EXPECT_TRUE(ok);
    EXPECT_EQ(readSome(8, 1000), "onized\r\n");
}

TEST_F(SerialChannel, NothingWithinTheTimeOutIsASuccessfulEmptyRead) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    bool ok = false;
    EXPECT_EQ(readSome(14, 100, &ok), "");
    EXPECT_TRUE(ok);
}

TEST_F(SerialChannel, ReadOfLessThanOneByteIsRefusedWithoutTouchingTheCount) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    char buffer[4];
    for (std::int32_t wanted : {0, -1}) {
        std::uint32_t got = 77;
        EXPECT_FALSE(port.read(buffer, got, wanted, 100));
        EXPECT_EQ(got, 77u);
    }
}

TEST_F(SerialChannel, WritesReachTheDeviceAndNegativeLengthsAreRefused) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    EXPECT_TRUE(port.write("U 23130\r\n", 9));
    EXPECT_EQ(line->received(9, 1000ms), "U 23130\r\n");
    EXPECT_FALSE(port.write("J\r\n", -3));
    EXPECT_EQ(line->received(1, 100ms), "");
}

TEST_F(SerialChannel, ClosedChannelNeitherReadsNorWrites) {
    bool ok = true;
    EXPECT_EQ(readSome(3, 100, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_FALSE(port.write("?", 1));
    EXPECT_EQ(line->received(1, 100ms), "");
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(SerialChannel, PurgeDiscardsWhatTheDeviceSentBefore) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    line->send("stale echo");
    ASSERT_TRUE(line->hostHolds(10, 2000ms));
    port.purge(1);
    line->send("OK\r\n");
    EXPECT_EQ(readSome(4, 1000), "OK\r\n");
}

TEST_F(SerialChannel, NameOfSixCharactersIsRefusedAndKeepsThePort) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    EXPECT_THROW(port.selectPort("COM100", true), UserAbort);
    EXPECT_EQ(recorder.only(), "OSAL Port string size incorrect!");
    EXPECT_TRUE(port.write("A", 1)); // still open on the device's port
    EXPECT_EQ(line->received(1, 1000ms), "A");
    port.close(); // returns: the guard was given back
}

TEST_F(SerialChannel, PortThatDoesNotOpenFallsBackToTheOpenOneQuietly) {
    ASSERT_TRUE(port.selectPort(line->devicePort(), true));
    EXPECT_FALSE(port.selectPort(line->absentPort(), true));
    EXPECT_TRUE(recorder.messages().empty());
    // Closed and opened again: still usable, and by its own name, so that selecting it
    // again changes nothing.
    EXPECT_TRUE(port.write("B", 1));
    EXPECT_EQ(line->received(1, 1000ms), "B");
    EXPECT_TRUE(port.selectPort(line->devicePort(), true));
}

TEST_F(SerialChannel, PortThatDoesNotOpenAfterCloseLeavesTheChannelClosed) {
    EXPECT_FALSE(port.selectPort(line->absentPort(), true));
    EXPECT_FALSE(port.write("C", 1));
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(SerialChannel, EmptyNameAfterCloseEqualsTheEmptyNameAndOpensNothing) {
    port.close();
    EXPECT_TRUE(port.selectPort("", true));
    EXPECT_FALSE(port.write("D", 1));
    EXPECT_EQ(line->received(1, 100ms), "");
}

TEST_F(SerialChannel, PortWithoutLineSettingsIsLeftHalfOpenUntilClose) {
    EXPECT_THROW(port.selectPort(line->notSerialPort(), true), UserAbort);
    EXPECT_EQ(recorder.only(), "OGetCommState error!");
    bool ok = true;
    readSome(1, 10, &ok);
    EXPECT_FALSE(ok); // not open for reading
    port.close();     // closes the half-open handle and returns: the guard is free
    EXPECT_FALSE(port.write("E", 1));
}

} // namespace
} // namespace sparwick
