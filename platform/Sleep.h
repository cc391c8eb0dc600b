#pragma once

#include <cstdint>

namespace sparwick {

// Blocks the calling thread for at least the given number of milliseconds.
void sleepMilliseconds(std::uint32_t ms);

// While one of these lives, the thread's sleeps are as fine-grained as the platform allows.
// Windows otherwise rounds a 20 ms pause up to whole 15.6 ms ticks; elsewhere the last
// fraction of a millisecond of each sleep is waited out on the clock. Scopes may nest.
class FineTimerScope {
public:
    FineTimerScope();
    ~FineTimerScope();
    FineTimerScope(const FineTimerScope&) = delete;
    FineTimerScope& operator=(const FineTimerScope&) = delete;
};

} // namespace sparwick
