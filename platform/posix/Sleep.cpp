#include "platform/Sleep.h"

#include <cerrno>
#include <ctime>
#include <sys/prctl.h>

namespace sparwick {
namespace {

// The kernel may let a sleep run this much longer so as to batch wake-ups; over the
// thousands of pauses of one update the default 50 us adds up to a noticeable part of it.
constexpr unsigned long fineTimerSlackNs = 1000;

} // namespace

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

// Timer slack belongs to the thread, which is the one the update runs on.
FineTimerScope::FineTimerScope() {
    ::prctl(PR_SET_TIMERSLACK, fineTimerSlackNs, 0, 0, 0);
}

FineTimerScope::~FineTimerScope() {
    // 0 gives the thread its default slack back.
    ::prctl(PR_SET_TIMERSLACK, 0UL, 0, 0, 0);
}

} // namespace sparwick
