// The device's UART driven without a pseudo-terminal: a host end of the test's own and
// time points of its choosing.
#include "sim/Uart.h"

#include "sim/BootLoaderConstants.h"
#include "sim/ReceiveFifo.h"

#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace sparwick::sim::test {
namespace {

using namespace std::chrono_literals;
using Clock = Uart::Clock;

class FakeHost : public Uart::HostEnd {
public:
    std::size_t read(std::span<char> into) override {
        const std::size_t count = std::min(into.size(), pending.size());
        std::copy_n(pending.begin(), count, into.begin());
        pending.erase(0, count);
        return count;
    }
    Written write(std::string_view bytes) override {
        if (room == 0) {
            return {0, true, true};
        }
        const std::size_t count = std::min(bytes.size(), room);
        got += bytes.substr(0, count);
        room -= count;
        return {count, false, false};
    }

    // What the host has written and the UART not yet read, and what reached the host.
    std::string pending;
    std::string got;
    std::size_t room = std::numeric_limits<std::size_t>::max();
};

class UartTest : public ::testing::Test {
protected:
    // One turn of the device's loop: in, to the boot loader as far as it takes, out.
    void turn(Uart& uart, Clock::time_point now) {
        uart.setHostHasSent(!host.pending.empty());
        uart.receiveFrom(host, now);
        while (const auto byte = uart.takeInput(now)) {
            taken += *byte;
        }
        uart.transmitTo(host, now);
    }

    FakeHost host;
    std::string taken;
    const Clock::time_point t0 = Clock::now();
};

TEST_F(UartTest, PassesBytesBothWaysOnAPlainLine) {
    Uart uart(false, 0ms, nullptr);
    host.pending = "J\r\n";
    uart.transmit("0\r\n196389\r\n");
    turn(uart, t0);
    EXPECT_EQ(taken, "J\r\n");
    EXPECT_EQ(host.got, "0\r\n196389\r\n");
    EXPECT_TRUE(uart.drained());
}

TEST_F(UartTest, StopsAHostThatHonoursXoffWhileTheFlashIsBusyAndLosesNothing) {
    Uart uart(true, 0ms, nullptr);
    uart.busy(isp::eraseTime, t0);
    const std::string burst(200, 'J');
    host.pending = burst;
    turn(uart, t0);
    EXPECT_TRUE(taken.empty());
    EXPECT_EQ(host.got, "\x13");
    EXPECT_EQ(uart.xoffsSent(), 1u);
    // The flash is done: the boot loader drains the buffer, and the host gets its XON.
    turn(uart, t0 + isp::eraseTime);
    EXPECT_EQ(host.got, "\x13\x11");
    turn(uart, t0 + isp::eraseTime);
    EXPECT_EQ(taken, burst);
    EXPECT_EQ(uart.bytesLost(), 0u);
}

TEST_F(UartTest, AHostThatIgnoresXoffOverrunsTheFifo) {
    Uart uart(true, 0ms, nullptr);
    uart.setHostStopsOnXoff(false);
    uart.busy(isp::eraseTime, t0);
    host.pending = std::string(200, 'J');
    turn(uart, t0);
    EXPECT_EQ(uart.bytesLost(), 200 - ReceiveFifo::capacity);
    turn(uart, t0 + isp::eraseTime);
    EXPECT_EQ(taken, std::string(ReceiveFifo::capacity, 'J'));
}

TEST_F(UartTest, TheHostsXoffHoldsRepliesButNotFlowControl) {
    Uart uart(false, 0ms, nullptr);
    host.pending = "\x13";
    turn(uart, t0);
    uart.transmit("0\r\n");
    turn(uart, t0);
    EXPECT_EQ(host.got, "");
    host.pending = "\x11";
    turn(uart, t0);
    EXPECT_EQ(host.got, "0\r\n");
    // Flow control bytes are the UART's, never the boot loader's.
    EXPECT_EQ(taken, "");
}

TEST_F(UartTest, PacesEachDirectionAtTheByteTime) {
    Uart uart(false, 0ms, nullptr);
    uart.setByteTime(1ms);
    uart.transmit("0123456789");
    turn(uart, t0);
    EXPECT_EQ(host.got, "");
    EXPECT_EQ(uart.deadline(t0), t0 + 1ms);
    turn(uart, t0 + 3ms);
    EXPECT_EQ(host.got, "012");
    // The host's bytes come in at the same rate, from when the first is there.
    host.pending = "J\r\n";
    EXPECT_TRUE(uart.readsWhenReady());
    turn(uart, t0 + 3ms);
    EXPECT_EQ(taken, "");
    turn(uart, t0 + 5ms);
    EXPECT_EQ(taken, "J\r");
}

TEST_F(UartTest, WhileTheFlashIsBusyOnlyTheEchoLeaves) {
    Uart uart(true, 0ms, nullptr);
    uart.transmit("E 0 0\r\n");
    uart.busy(isp::eraseTime, t0);
    uart.transmit("0\r\n");
    host.pending = "J\r\n";
    turn(uart, t0);
    EXPECT_EQ(host.got, "E 0 0\r\n");
    EXPECT_EQ(taken, "");
    EXPECT_EQ(uart.deadline(t0), t0 + isp::eraseTime);
    turn(uart, t0 + isp::eraseTime);
    EXPECT_EQ(host.got, "E 0 0\r\n0\r\n");
    EXPECT_EQ(taken, "J\r\n");
}

TEST_F(UartTest, TheAdapterHoldsAFewBytesForItsLatency) {
    Uart uart(false, 16ms, nullptr);
    uart.transmit("0\r\n");
    turn(uart, t0);
    EXPECT_EQ(host.got, "");
    EXPECT_FALSE(uart.drained());
    EXPECT_EQ(uart.deadline(t0), t0 + 16ms);
    turn(uart, t0 + 16ms);
    EXPECT_EQ(host.got, "0\r\n");
    EXPECT_TRUE(uart.drained());
}

TEST_F(UartTest, WaitsForRoomAtAFullHostEnd) {
    Uart uart(false, 0ms, nullptr);
    host.room = 2;
    uart.transmit("0\r\n");
    turn(uart, t0);
    EXPECT_EQ(host.got, "0\r");
    EXPECT_TRUE(uart.waitsForRoom());
    host.room = 10;
    turn(uart, t0);
    EXPECT_EQ(host.got, "0\r") << "not before the host's end has said it has room";
    uart.hostHasRoom();
    turn(uart, t0);
    EXPECT_EQ(host.got, "0\r\n");
}

TEST_F(UartTest, AResetLetsAHostHeldByOurXoffGo) {
    Uart uart(true, 0ms, nullptr);
    uart.busy(isp::eraseTime, t0);
    host.pending = std::string(ReceiveFifo::capacity, 'J');
    turn(uart, t0);
    ASSERT_EQ(host.got, "\x13");
    uart.reset();
    turn(uart, t0);
    EXPECT_EQ(host.got, "\x13\x11");
    EXPECT_EQ(taken, "");
    // Unplugged, nothing is owed to the host that has gone.
    uart.busy(isp::eraseTime, t0);
    host.pending = std::string(ReceiveFifo::capacity, 'J');
    turn(uart, t0);
    uart.disconnect();
    turn(uart, t0);
    EXPECT_EQ(host.got, "\x13\x11\x13");
}

} // namespace
} // namespace sparwick::sim::test
