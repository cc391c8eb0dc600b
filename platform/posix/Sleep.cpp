#include "platform/Sleep.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/prctl.h>

namespace sparwick {
namespace {

// The kernel may let a sleep run this much longer so as to batch wake-ups; over the
// thousands of pauses of one update the default 50 us adds up to a noticeable part of it.
constexpr unsigned long fineTimerSlackNs = 1000;

// Even without slack a wake-up comes some tens of microseconds late, more on a virtual
// machine: at one pause after each data line that is most of a second per update. A fine
// sleep therefore wakes this much early and waits out the rest on the clock. It is kept
// short so that the waiting costs well under a percent of the processor.
constexpr std::int64_t fineFinishNs = 150'000;

constexpr std::int64_t nsPerSecond = 1'000'000'000;

thread_local int fineTimerScopes = 0;

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * nsPerSecond + now.tv_nsec;
}

// An absolute deadline on the monotonic clock: a signal that interrupts the sleep does not
// shorten it, and a change of the wall clock does not stretch it.
void sleepUntil(std::int64_t deadlineNs) {
    const timespec deadline{static_cast<time_t>(deadlineNs / nsPerSecond),
                            static_cast<long>(deadlineNs % nsPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

} // namespace

void sleepMilliseconds(std::uint32_t ms) {
    const std::int64_t deadline = monotonicNs() + static_cast<std::int64_t>(ms) * 1'000'000;
    sleepUntil(fineTimerScopes == 0 ? deadline : deadline - fineFinishNs);
    while (monotonicNs() < deadline) {
    }
}

// Timer slack belongs to the thread, which is the one the update runs on.
FineTimerScope::FineTimerScope() {
    if (fineTimerScopes++ == 0) {
        ::prctl(PR_SET_TIMERSLACK, fineTimerSlackNs, 0, 0, 0);
    }
}

FineTimerScope::~FineTimerScope() {
    if (--fineTimerScopes == 0) {
        // 0 gives the thread its default slack back.
        ::prctl(PR_SET_TIMERSLACK, 0UL, 0, 0, 0);
    }
}

} // namespace sparwick
