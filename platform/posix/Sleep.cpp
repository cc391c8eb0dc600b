#include "platform/Sleep.h"

#include <cerrno>
#include <ctime>

namespace sparwick {

void sleepMilliseconds(std::uint32_t ms) {
    // An absolute deadline on the monotonic clock: a signal that interrupts the sleep
    // does not shorten it, and a change of the wall clock does not stretch it.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1'000'000L;
    if (deadline.tv_nsec >= 1'000'000'000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1'000'000'000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

FineTimerScope::FineTimerScope() = default;
FineTimerScope::~FineTimerScope() = default;

} // namespace sparwick
