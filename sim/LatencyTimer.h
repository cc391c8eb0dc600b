#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>

namespace sparwick::sim {

// A USB serial adapter's latency timer, on the way from the device to the host: bytes the
// adapter receives are held until a packet's worth (62) has gathered, or until the latency
// has passed since the first of them was held, whichever comes first. Off (latency 0),
// every byte passes at once.
class LatencyTimer {
public:
    using Clock = std::chrono::steady_clock;
    // The payload of a 64-byte USB packet after the adapter's two status bytes.
    static constexpr std::size_t packetBytes = 62;

    void setLatency(std::chrono::milliseconds time) { latency = time; }
    bool enabled() const { return latency.count() > 0; }

    // How many more bytes the adapter can take before it has passed any on.
    std::size_t room() const { return packetBytes - count; }
    // Takes bytes from the line, at most room() of them.
    void hold(std::string_view bytes, Clock::time_point now);
    // The bytes due to the host by now: all held ones once a packet has gathered or the
    // latency has passed, none before.
    std::string_view due(Clock::time_point now) const;
    // The host took count of the due bytes.
    void delivered(std::size_t taken);
    // When the held bytes fall due, while some are held.
    std::optional<Clock::time_point> deadline() const;
    bool empty() const { return count == 0; }
    void clear() { count = 0; }

private:
    std::chrono::milliseconds latency{0};
    std::array<char, packetBytes> held{};
    std::size_t count = 0;
    Clock::time_point firstHeld{};
};

} // namespace sparwick::sim
