#include "platform/Sleep.h"

#include <chrono>
#include <gtest/gtest.h>

namespace sparwick {
namespace {

using Clock = std::chrono::steady_clock;

// A pause that ends early lets the next data line reach a boot loader that is still busy
// with the last one, so every sleep must last at least what was asked. How much longer it
// runs is measured by the benchmark, not here.
Clock::duration timedSleep(std::uint32_t ms) {
    const auto start = Clock::now();
    sleepMilliseconds(ms);
    return Clock::now() - start;
}

TEST(Sleep, NeverEndsEarly) {
    for (const std::uint32_t ms : {0u, 1u, 2u, 20u}) {
        EXPECT_GE(timedSleep(ms), std::chrono::milliseconds{ms}) << ms << " ms";
    }
}

TEST(Sleep, NeverEndsEarlyWithAFineTimer) {
    const FineTimerScope fineTimer;
    for (int round = 0; round < 20; ++round) {
        for (const std::uint32_t ms : {0u, 1u, 2u, 20u}) {
            EXPECT_GE(timedSleep(ms), std::chrono::milliseconds{ms}) << ms << " ms";
        }
    }
}

TEST(Sleep, NestedFineTimersLeaveSleepsWhole) {
    const FineTimerScope outer;
    {
        const FineTimerScope inner;
        EXPECT_GE(timedSleep(2), std::chrono::milliseconds{2});
    }
    EXPECT_GE(timedSleep(2), std::chrono::milliseconds{2});
}

} // namespace
} // namespace sparwick
