// The parts of the simulated line that need no pseudo-terminal: the receive buffer and
// the USB adapter's latency timer.
#include "sim/LatencyTimer.h"
#include "sim/ReceiveFifo.h"

#include <gtest/gtest.h>
#include <string>

namespace sparwick::sim::test {
namespace {

using namespace std::chrono_literals;
using Clock = LatencyTimer::Clock;

TEST(ReceiveFifo, KeepsItsCapacityInOrderAndLosesWhatArrivesBeyondIt) {
    ReceiveFifo fifo;
    for (std::size_t i = 0; i < ReceiveFifo::capacity + 10; ++i) {
        EXPECT_EQ(fifo.push(static_cast<char>(i)), i < ReceiveFifo::capacity) << i;
    }
    EXPECT_EQ(fifo.size(), ReceiveFifo::capacity);
    EXPECT_EQ(fifo.room(), 0u);
    EXPECT_EQ(fifo.lost(), 10u);
    // The first bytes are kept, the late ones lost; room made takes new bytes again.
    EXPECT_EQ(fifo.front(), 0);
    fifo.pop();
    fifo.pop();
    EXPECT_TRUE(fifo.push('x'));
    std::string rest;
    while (!fifo.empty()) {
        rest += fifo.front();
        fifo.pop();
    }
    ASSERT_EQ(rest.size(), ReceiveFifo::capacity - 1);
    EXPECT_EQ(rest.front(), 2);
    EXPECT_EQ(rest[rest.size() - 2], static_cast<char>(ReceiveFifo::capacity - 1));
    EXPECT_EQ(rest.back(), 'x');
    EXPECT_EQ(fifo.lost(), 10u);
}

class LatencyTimerTest : public ::testing::Test {
protected:
    void SetUp() override { timer.setLatency(16ms); }

    LatencyTimer timer;
    const Clock::time_point t0 = Clock::now();
};

TEST_F(LatencyTimerTest, AFewBytesWaitForTheLatencyCountedFromTheFirst) {
    timer.hold("0\r", t0);
    timer.hold("\n", t0 + 10ms);
    EXPECT_EQ(timer.deadline(), t0 + 16ms);
    EXPECT_EQ(timer.due(t0 + 15ms), "");
    EXPECT_EQ(timer.due(t0 + 16ms), "0\r\n");
    timer.delivered(3);
    EXPECT_TRUE(timer.empty());
    EXPECT_FALSE(timer.deadline());
    // The next byte starts a timer of its own.
    timer.hold("O", t0 + 30ms);
    EXPECT_EQ(timer.due(t0 + 45ms), "");
    EXPECT_EQ(timer.due(t0 + 46ms), "O");
}

TEST_F(LatencyTimerTest, APacketsWorthGoesAtOnce) {
    const std::string bytes(LatencyTimer::packetBytes, 'M');
    timer.hold(bytes.substr(0, 40), t0);
    EXPECT_EQ(timer.room(), LatencyTimer::packetBytes - 40);
    EXPECT_EQ(timer.due(t0 + 1ms), "");
    // Only what fits is taken.
    timer.hold(bytes + "more", t0 + 2ms);
    EXPECT_EQ(timer.room(), 0u);
    EXPECT_EQ(timer.due(t0 + 2ms), bytes);
}

TEST_F(LatencyTimerTest, WhatTheHostCouldNotTakeStaysDue) {
    timer.hold(std::string(LatencyTimer::packetBytes, 'M'), t0);
    timer.delivered(50);
    EXPECT_EQ(timer.due(t0), std::string(12, 'M'));
    EXPECT_EQ(timer.room(), 50u);
}

} // namespace
} // namespace sparwick::sim::test
