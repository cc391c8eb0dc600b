#include "sim/LatencyTimer.h"

#include <algorithm>
#include <cstring>

namespace sparwick::sim {

void LatencyTimer::hold(std::string_view bytes, Clock::time_point now) {
    const std::size_t taken = std::min(bytes.size(), room());
    if (taken == 0) {
        return;
    }
    if (count == 0) {
        firstHeld = now;
    }
    std::memcpy(held.data() + count, bytes.data(), taken);
    count += taken;
}

std::string_view LatencyTimer::due(Clock::time_point now) const {
    if (count == packetBytes || (count > 0 && now >= firstHeld + latency)) {
        return {held.data(), count};
    }
    return {};
}

void LatencyTimer::delivered(std::size_t taken) {
    taken = std::min(taken, count);
    std::memmove(held.data(), held.data() + taken, count - taken);
    count -= taken;
    if (count > 0) {
        // What the host could not take yet stays due: it was due already.
        firstHeld = Clock::time_point{};
    }
}

std::optional<LatencyTimer::Clock::time_point> LatencyTimer::deadline() const {
    if (count == 0) {
        return std::nullopt;
    }
    return firstHeld + latency;
}

} // namespace sparwick::sim
