#include "sim/LinePacer.h"

#include <limits>

namespace sparwick::sim {

namespace {

// After a stall the line catches up at most this much, as a real line never bunches up.
constexpr std::chrono::milliseconds maxCatchUp{2};

} // namespace

void LinePacer::setByteTime(std::chrono::nanoseconds time) {
    perByte = time;
    if (!paced()) {
        nextAt.reset();
    }
}

void LinePacer::start(Clock::time_point now) {
    if (paced() && !nextAt) {
        nextAt = now + std::chrono::duration_cast<Clock::duration>(perByte);
    }
}

std::size_t LinePacer::allowance(Clock::time_point now) {
    if (!paced()) {
        return std::numeric_limits<std::size_t>::max();
    }
    if (!nextAt || now < *nextAt) {
        return 0;
    }
    if (now - *nextAt > maxCatchUp) {
        *nextAt = now - maxCatchUp;
    }
    return 1 + static_cast<std::size_t>((now - *nextAt) / perByte);
}

void LinePacer::took(std::size_t taken, bool drained) {
    if (!paced()) {
        return;
    }
    if (drained) {
        nextAt.reset();
        return;
    }
    if (nextAt) {
        *nextAt += std::chrono::duration_cast<Clock::duration>(perByte * taken);
    }
}

std::optional<LinePacer::Clock::time_point> LinePacer::nextSlot() const {
    return nextAt;
}

} // namespace sparwick::sim
