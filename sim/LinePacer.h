#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace sparwick::sim {

// One direction of a serial line: a byte leaves only after the one before it has taken
// its byte time. Without a byte time the line is as fast as the pseudo-terminal.
class LinePacer {
public:
    using Clock = std::chrono::steady_clock;

    void setByteTime(std::chrono::nanoseconds time);
    std::chrono::nanoseconds byteTime() const { return perByte; }
    bool paced() const { return perByte.count() > 0; }

    // A byte is ready to go after a pause: its time starts now.
    void start(Clock::time_point now);
    bool idle() const { return !nextAt; }
    // How many bytes may pass by now.
    std::size_t allowance(Clock::time_point now);
    // taken bytes passed; drained says the sender had no more, so the line goes idle.
    void took(std::size_t taken, bool drained);
    // When the next byte may pass, while the line is not idle.
    std::optional<Clock::time_point> nextSlot() const;

private:
    std::chrono::nanoseconds perByte{0};
    std::optional<Clock::time_point> nextAt;
};

} // namespace sparwick::sim
