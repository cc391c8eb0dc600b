#include "platform/Sleep.h"

#include <windows.h>
// The multimedia timer calls need the Windows types declared first.
#include <timeapi.h>

namespace sparwick {

void sleepMilliseconds(std::uint32_t ms) {
    ::Sleep(ms);
}

// The default timer ticks every 15.6 ms, which would turn each 20 ms pause between data
// lines into 31 ms and each 2 ms pause into 15.6 ms.
FineTimerScope::FineTimerScope() {
    ::timeBeginPeriod(1);
}

FineTimerScope::~FineTimerScope() {
    ::timeEndPeriod(1);
}

} // namespace sparwick
