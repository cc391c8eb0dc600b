#pragma once

#include "sim/LatencyTimer.h"
#include "sim/LinePacer.h"
#include "sim/ReceiveFifo.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sparwick::sim {

class TrafficLog;

// The device's UART as the host meets it, and the USB adapter between them: the receive
// FIFO that overruns when the boot loader falls behind a host that ignores XOFF, XON and
// XOFF in both directions, each direction paced at the line's byte time, a transmitter
// that holds replies while the flash is busy, and the adapter's latency timer. It reaches
// the host through a HostEnd and keeps no time of its own: every call says what time it is.
class Uart {
public:
    using Clock = std::chrono::steady_clock;

    // The host's end of the line.
    class HostEnd {
    public:
        // What one write towards the host did.
        struct Written {
            std::size_t count = 0;
            // Nothing was taken: an error, or (full) no room at the host's end for now.
            bool failed = false;
            bool full = false;
        };

        virtual ~HostEnd() = default;
        // Bytes the host has sent, at most into.size(); 0 when there are none.
        virtual std::size_t read(std::span<char> into) = 0;
        virtual Written write(std::string_view bytes) = 0;
    };

    // The receive FIFO's levels for XOFF and XON (of ReceiveFifo::capacity).
    static constexpr std::size_t xoffLevel = 96;
    static constexpr std::size_t xonLevel = 32;

    // emulatedLine: the line's timing is emulated, so the flash's busy time holds the
    // transmitter and the boot loader waits for its FIFO to drain.
    Uart(bool emulatedLine, std::chrono::milliseconds adapterLatency, TrafficLog* log);

    void setByteTime(std::chrono::nanoseconds time);
    std::chrono::nanoseconds byteTime() const { return inbound.byteTime(); }
    // Whether the host's end stops sending on our XOFF (its IXON).
    void setHostStopsOnXoff(bool stops) { hostStopsOnXoff = stops; }

    // The boot loader's side: what it sends, the time the flash keeps it busy, and the
    // next received byte whenever it takes input.
    void transmit(std::string_view bytes) { toSend += bytes; }
    void busy(std::chrono::microseconds duration, Clock::time_point now);
    std::optional<char> takeInput(Clock::time_point now);
    // For user code on the device: whether takeInput has a byte, and what still waits to
    // leave the transmitter.
    bool inputReady(Clock::time_point now) const { return !received.empty() && takesInput(now); }
    std::size_t transmitPending() const { return toSend.size(); }
    // The line's rate changed under the bytes still waiting to leave: each goes out
    // changed as change says.
    void changePending(char (*change)(char)) {
        for (char& byte : toSend) {
            byte = change(byte);
        }
    }
    // Binary: XON and XOFF are data in both directions, and no flow control is sent (user
    // code owns the UART, not the boot loader's driver).
    void setTransparent(bool binary);

    // The host's side, in this order on each turn: what it has sent comes in, then the
    // flow control and what is due go out.
    void receiveFrom(HostEnd& host, Clock::time_point now);
    void transmitTo(HostEnd& host, Clock::time_point now);
    // What the device's loop learns from the host's end between turns: whether it has
    // bytes to read, and that it has room again after a write found it full.
    void setHostHasSent(bool sent) { hostHasSent = sent; }
    void hostHasRoom() { writeBlocked = false; }

    // Whether to read the host's end as soon as it has bytes, rather than at a time.
    bool readsWhenReady() const;
    // Whether to wait for room at the host's end.
    bool waitsForRoom() const { return writeBlocked; }
    // When the next turn is due for the UART's own sake.
    std::optional<Clock::time_point> deadline(Clock::time_point now) const;
    // Nothing left to go to the host.
    bool drained() const { return toSend.empty() && adapter.empty(); }

    // A power cycle: everything in flight is lost; a host held by our XOFF gets its XON.
    void reset();
    // The host's end has gone: a reset, and nothing owed to that host any more.
    void disconnect();

    std::uint32_t xoffsSent() const { return xoffs; }
    std::uint64_t bytesLost() const { return received.lost(); }

private:
    bool takesInput(Clock::time_point now) const;
    void flowControl();
    // The adapter's bytes that are due go to the host; false when the host's end is full.
    bool passOnHeld(HostEnd& host, Clock::time_point now);
    void event(const std::string& text);

    const bool emulated;
    TrafficLog* log;

    ReceiveFifo received;
    std::string toSend;
    LatencyTimer adapter;
    LinePacer inbound;
    LinePacer outbound;
    // XON or XOFF waiting to go, ahead of everything else.
    std::optional<char> flowByte;
    bool xoffSent = false;
    bool stoppedByHost = false;
    // A host that does not stop on XOFF overruns the FIFO whenever the boot loader falls
    // behind.
    bool hostStopsOnXoff = true;
    bool transparent = false;
    bool overrunning = false;
    bool hostHasSent = false;
    bool writeBlocked = false;
    Clock::time_point busyUntil{};
    Clock::time_point holdUntil{};
    std::size_t sendableDuringHold = 0;
    std::uint32_t xoffs = 0;
};

} // namespace sparwick::sim
