#include "sim/Uart.h"

#include "sim/BootLoaderConstants.h"
#include "sim/TrafficLog.h"

#include <algorithm>
#include <array>

namespace sparwick::sim {

namespace {

// A host stopped by our XOFF while it has stopped us must still get its XON through: a
// hardware FIFO's worth is read even from a full buffer, flow control bytes taken and the
// rest lost.
constexpr std::size_t flowControlReach = isp::uartFifoSize;
// The most taken from the line at once while the boot loader is not taking input.
constexpr std::size_t lineChunk = 256;
// The transmitter: on an emulated line the boot loader waits while its FIFO is full; on
// a plain pty it stops taking input only when the host has left this much unread.
constexpr std::size_t transmitFifo = isp::uartFifoSize;
constexpr std::size_t transmitBacklog = 64 * 1024;

void earliest(std::optional<Uart::Clock::time_point>& wake,
              std::optional<Uart::Clock::time_point> when) {
    if (when && (!wake || *when < *wake)) {
        wake = when;
    }
}

} // namespace

Uart::Uart(bool emulatedLine, std::chrono::milliseconds adapterLatency, TrafficLog* trafficLog)
    : emulated(emulatedLine)
    , log(trafficLog) {
    adapter.setLatency(adapterLatency);
}

void Uart::setByteTime(std::chrono::nanoseconds time) {
    inbound.setByteTime(time);
    outbound.setByteTime(time);
}

void Uart::busy(std::chrono::microseconds duration, Clock::time_point now) {
    if (!emulated) {
        return;
    }
    busyUntil = std::max(busyUntil, now) + duration;
    if (transparent) {
        // Code in RAM in an IAP call reads nothing: the UART's own 16 bytes are all the
        // line has until it returns (the boot loader's ring is not there for it).
        const std::uint64_t lostBefore = received.lost();
        received.limitTo(isp::uartFifoSize);
        if (received.lost() != lostBefore) {
            event("receive FIFO overrun during an IAP call: bytes lost");
        }
    }
    // What is queued already (the command's echo) goes out while the flash works; the
    // reply that follows waits for it.
    if (holdUntil <= now) {
        sendableDuringHold = toSend.size();
    }
    holdUntil = busyUntil;
}

bool Uart::takesInput(Clock::time_point now) const {
    const std::size_t backlog = emulated ? transmitFifo : transmitBacklog;
    return now >= busyUntil && toSend.size() <= backlog;
}

std::optional<char> Uart::takeInput(Clock::time_point now) {
    if (received.empty() || !takesInput(now)) {
        return std::nullopt;
    }
    const char byte = received.front();
    received.pop();
    return byte;
}

void Uart::receiveFrom(HostEnd& host, Clock::time_point now) {
    // A host that honours XOFF is stopped in time by its own end of the line: what it has
    // written and we have not read waits in its transmitter. One that ignores XOFF keeps
    // the line busy, and while the boot loader takes nothing the buffer fills and the
    // rest is lost, as in a UART's overrun.
    if (transparent) {
        received.limitTo(now < busyUntil ? isp::uartFifoSize : ReceiveFifo::capacity);
    }
    std::size_t wanted = received.room();
    if (stoppedByHost) {
        wanted = std::max(wanted, flowControlReach);
    }
    if (!hostStopsOnXoff && !takesInput(now)) {
        wanted = lineChunk;
    }
    if (wanted == 0) {
        return;
    }
    if (inbound.paced()) {
        if (inbound.idle()) {
            if (hostHasSent) {
                inbound.start(now);
            }
            return;
        }
        wanted = std::min(wanted, inbound.allowance(now));
        if (wanted == 0) {
            return;
        }
    }
    std::array<char, lineChunk> buffer{};
    wanted = std::min(wanted, buffer.size());
    const std::size_t count = host.read(std::span(buffer).first(wanted));
    hostHasSent = false;
    const std::uint64_t lostBefore = received.lost();
    for (std::size_t i = 0; i < count; ++i) {
        // Flow control belongs to the UART's driver, not to the boot loader.
        if (transparent) {
            received.push(buffer[i]);
        } else if (buffer[i] == isp::xoff) {
            stoppedByHost = true;
        } else if (buffer[i] == isp::xon) {
            stoppedByHost = false;
        } else {
            received.push(buffer[i]);
        }
    }
    if (count > 0) {
        const bool lost = received.lost() != lostBefore;
        if (lost && !overrunning) {
            event("receive buffer overrun: bytes lost");
        }
        overrunning = lost;
    }
    inbound.took(count, count < wanted);
}

void Uart::setTransparent(bool binary) {
    transparent = binary;
    if (binary) {
        // Whatever held the host or us by flow control is over.
        flowByte = xoffSent ? std::optional<char>(isp::xon) : std::nullopt;
        xoffSent = false;
        stoppedByHost = false;
    }
}

void Uart::flowControl() {
    if (transparent) {
        return;
    }
    if (!xoffSent && received.size() >= xoffLevel) {
        xoffSent = true;
        flowByte = isp::xoff;
        ++xoffs;
        event("receive buffer full: XOFF");
    } else if (xoffSent && received.size() <= xonLevel) {
        xoffSent = false;
        // An XOFF that never left needs no XON.
        if (flowByte == isp::xoff) {
            flowByte.reset();
        } else {
            flowByte = isp::xon;
        }
        event("receive buffer drained: XON");
    }
}

void Uart::transmitTo(HostEnd& host, Clock::time_point now) {
    flowControl();
    if (writeBlocked || !passOnHeld(host, now)) {
        return;
    }
    std::size_t sendable = stoppedByHost ? 0 : toSend.size();
    if (now < holdUntil) {
        sendable = std::min(sendable, sendableDuringHold);
    }
    if (sendable == 0 && !flowByte) {
        outbound.took(0, true);
        return;
    }
    if (outbound.idle()) {
        outbound.start(now);
    }
    std::size_t budget = outbound.allowance(now);
    std::size_t sent = 0;
    if (flowByte && budget > 0) {
        // XON and XOFF pass the adapter at once: it acts on them itself.
        const char byte = *flowByte;
        const HostEnd::Written written = host.write(std::string_view(&byte, 1));
        if (written.failed || written.count != 1) {
            writeBlocked = written.full;
            return;
        }
        flowByte.reset();
        --budget;
        ++sent;
    }
    const std::size_t wanted = std::min(sendable, budget);
    if (adapter.enabled()) {
        // Into the adapter as far as it has room; each packet that fills goes at once.
        std::size_t taken = 0;
        while (taken < wanted && adapter.room() > 0) {
            const std::size_t count = std::min(wanted - taken, adapter.room());
            adapter.hold(std::string_view(toSend).substr(taken, count), now);
            taken += count;
            if (!passOnHeld(host, now)) {
                break;
            }
        }
        toSend.erase(0, taken);
        sendableDuringHold -= std::min(sendableDuringHold, taken);
        sent += taken;
    } else if (wanted > 0) {
        const HostEnd::Written written = host.write(std::string_view(toSend).substr(0, wanted));
        if (written.failed) {
            writeBlocked = written.full;
        } else {
            toSend.erase(0, written.count);
            sendableDuringHold -= std::min(sendableDuringHold, written.count);
            sent += written.count;
            writeBlocked = written.count < wanted;
        }
    }
    outbound.took(sent, !writeBlocked && sent < budget);
}

bool Uart::passOnHeld(HostEnd& host, Clock::time_point now) {
    const std::string_view due = adapter.due(now);
    if (due.empty()) {
        return true;
    }
    const HostEnd::Written written = host.write(due);
    if (written.failed) {
        writeBlocked = written.full;
        return false;
    }
    adapter.delivered(written.count);
    writeBlocked = written.count < due.size();
    return !writeBlocked;
}

bool Uart::readsWhenReady() const {
    return (received.room() > 0 || stoppedByHost || !hostStopsOnXoff) &&
           (!inbound.paced() || inbound.idle());
}

std::optional<Uart::Clock::time_point> Uart::deadline(Clock::time_point now) const {
    std::optional<Clock::time_point> wake;
    const bool receiving = received.room() > 0 || stoppedByHost || !hostStopsOnXoff;
    if (receiving && !readsWhenReady()) {
        earliest(wake, inbound.nextSlot());
    }
    if (!writeBlocked) {
        if (!toSend.empty() || flowByte) {
            earliest(wake, outbound.nextSlot());
            if (now < holdUntil) {
                earliest(wake, holdUntil);
            }
        }
        earliest(wake, adapter.deadline());
    }
    if (!received.empty()) {
        // Input waits for the flash to finish, or for the transmitter to drain; once it
        // no longer has to wait, the boot loader takes it at once.
        if (now < busyUntil) {
            earliest(wake, busyUntil);
        } else if (takesInput(now)) {
            earliest(wake, now);
        }
    }
    return wake;
}

void Uart::reset() {
    transparent = false;
    received.clear();
    received.limitTo(ReceiveFifo::capacity);
    toSend.clear();
    adapter.clear();
    overrunning = false;
    // A host stopped by our XOFF would stay stopped for good: the fresh UART lets it go.
    flowByte = xoffSent ? std::optional<char>(isp::xon) : std::nullopt;
    xoffSent = false;
    stoppedByHost = false;
    busyUntil = {};
    holdUntil = {};
    sendableDuringHold = 0;
    inbound.took(0, true);
    outbound.took(0, true);
}

void Uart::disconnect() {
    reset();
    flowByte.reset();
    writeBlocked = false;
    hostHasSent = false;
}

void Uart::event(const std::string& text) {
    if (log != nullptr) {
        log->event(text);
    }
}

} // namespace sparwick::sim
