// The serial channel's operating-system calls on Linux and other POSIX systems.
#include "serial/SerialSystem.h"

#include "serial/DeviceNames.h"
#include "serial/posix/ExclusiveUse.h"
#include "serial/posix/PortRelease.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sparwick::serialsys {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The line settings a port had when it was opened, to be put back when it closes: a tty
// is shared with whoever uses it next (a terminal, another program), and nothing of ours
// may stay behind on it.
struct FoundSettings {
    termios settings{};
    bool known = false; // false when the device has no terminal settings
    // Whether the driver has serial settings (TIOCGSERIAL), and whether low latency was
    // among them: a pseudo-terminal or a USB CDC port has none.
    bool serialKnown = false;
    bool lowLatency = false;
};

// An open port: the descriptor, the time-outs that its reads and writes obey, and where
// a signal handler finds it. The handle given out is the address of this record, as a
// Windows HANDLE names the kernel's.
struct PosixPort {
    int fd = -1;
    CommTimeouts timeouts;
    FoundSettings found;
    int slot = -1;
    bool lowLatencySet = false; // by us, so it goes back off at close
    // The modem lines (TIOCM_DTR and TIOCM_RTS bits) to leave on the port; -1: untouched.
    int releaseLines = -1;
    // The time a byte takes on the line at its rate, and when the line will have carried
    // everything written so far, had it never been stopped.
    std::chrono::nanoseconds byteTime{0};
    std::chrono::steady_clock::time_point lineBusyUntil{};
};

// The ports open now, as a signal handler can reach them without taking a lock or
// following a pointer that another thread may free: a slot is taken by storing its
// descriptor, after its settings; a descriptor of -1 marks a free slot. The channel has
// one port open at a time and the port list probes one at a time beside it.
struct OpenPortSlot {
    std::atomic<int> fd{-1};
    FoundSettings found;
    std::atomic<bool> lowLatencySet{false};
    std::atomic<int> releaseLines{-1};
};
constexpr std::size_t openPortSlots = 4;
constinit std::array<OpenPortSlot, openPortSlots> openPorts{};

static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads the slots");
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler reads the slots");

constexpr int dtrAndRts = TIOCM_DTR | TIOCM_RTS;

// DTR and RTS to the bits of lines, every other modem output as it is, in one request: an
// adapter then changes both at once. Async-signal-safe.
int setDtrAndRts(int fd, int lines) {
    int state = 0;
    if (::ioctl(fd, TIOCMGET, &state) != 0) {
        return -1;
    }
    state = (state & ~dtrAndRts) | (lines & dtrAndRts);
    return ::ioctl(fd, TIOCMSET, &state);
}

int takeSlot(int fd, const FoundSettings& found) {
    for (std::size_t i = 0; i < openPorts.size(); ++i) {
        int expected = -1;
        // Reserved with a value no descriptor has, filled, then published.
        if (openPorts[i].fd.compare_exchange_strong(expected, -2)) {
            openPorts[i].found = found;
            openPorts[i].lowLatencySet.store(false);
            openPorts[i].releaseLines.store(-1);
            openPorts[i].fd.store(fd, std::memory_order_release);
            return static_cast<int>(i);
        }
    }
    return -1; // not reachable by a signal handler; closed at exit as any descriptor is
}

void freeSlot(int slot) {
    if (slot >= 0) {
        openPorts[static_cast<std::size_t>(slot)].fd.store(-1, std::memory_order_release);
    }
}

// Sets or clears the driver's low-latency flag, everything else of its serial settings
// as they are now. False when the driver refuses. Async-signal-safe.
bool setLowLatency(int fd, bool on) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return false;
    }
    if (on) {
        serial.flags |= ASYNC_LOW_LATENCY;
    } else {
        serial.flags &= ~ASYNC_LOW_LATENCY;
    }
    return ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

// Leaves the port as it was found: what we queued and the device never took is dropped
// (a close would otherwise wait for output that a stopped line never sends), the
// settings go back (a USB adapter keeps its latency timer past our close), and exclusive
// use is given up before the close, because the terminal keeps that flag past our close
// for as long as anyone else (the device end of a pseudo-terminal) has it open.
// The modem lines go first: a board held in reset by them is let go before anything else.
// Async-signal-safe.
void putBack(int fd, const FoundSettings& found, bool lowLatencySet, int releaseLines) {
    if (releaseLines >= 0) {
        setDtrAndRts(fd, releaseLines);
    }
    ::tcflush(fd, TCOFLUSH);
    if (found.known) {
        ::tcsetattr(fd, TCSANOW, &found.settings);
    }
    if (lowLatencySet) {
        setLowLatency(fd, false);
    }
    ::ioctl(fd, TIOCNXCL);
}

// The driver's low latency for as long as the port is ours: a USB serial adapter then
// passes on what it receives within a millisecond instead of holding it up to its latency
// timer (16 ms on an FTDI adapter) on every reply. A port without serial settings, or
// one that refuses, is used as it is.
void requestLowLatency(PosixPort& port) {
    if (!port.found.serialKnown || port.found.lowLatency || port.lowLatencySet) {
        return;
    }
    // Marked before it is set: an interruption in between clears a flag that was never
    // set, which does no harm, rather than leave one set.
    port.lowLatencySet = true;
    if (port.slot >= 0) {
        openPorts[static_cast<std::size_t>(port.slot)].lowLatencySet.store(true);
    }
    if (!setLowLatency(port.fd, true)) {
        port.lowLatencySet = false;
        if (port.slot >= 0) {
            openPorts[static_cast<std::size_t>(port.slot)].lowLatencySet.store(false);
        }
    }
}

// The termios code of a rate in baud: the standard rates only.
std::optional<speed_t> speedCode(std::uint32_t baud) {
    static constexpr std::array<std::pair<std::uint32_t, speed_t>, 23> codes = {{
        {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
        {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
        {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
        {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
        {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    }};
    for (const auto& [rate, code] : codes) {
        if (rate == baud) {
            return code;
        }
    }
    return std::nullopt;
}

bool setSpeed(termios& tio, std::uint32_t baud) {
    const auto code = speedCode(baud);
    return code && cfsetispeed(&tio, *code) == 0 && cfsetospeed(&tio, *code) == 0;
}

// The rest of a reply cannot come faster than the line carries it. Waiting for it a little
// takes a long reply in a few wake-ups instead of one for every byte or two that a line at
// 230400 baud delivers; never longer than this, well within the gap that ends a read.
constexpr std::chrono::microseconds gatherLimit{2000};

// A start bit, eight data bits and a stop bit.
constexpr std::uint32_t bitsPerByte = 10;

// The most line time a write leaves queued behind it when it returns. Writes return once
// their bytes are queued, and the reply to the last line is awaited for 1000 ms from then;
// at 9600 baud the 20 data lines of a checksum group queued at once would take 1.3 s to
// leave, and the reply could never come in time. What is left gives the device time to
// answer. At 19200 baud and above no update queues this much between two replies (a
// group there takes 0.66 s at most), so their writes return as they always have.
constexpr std::chrono::milliseconds queuedLineLimit{700};

void gatherRest(const PosixPort& port, std::uint32_t missing,
                const std::optional<Clock::time_point>& total) {
    auto until = Clock::now() + std::min<Clock::duration>(port.byteTime * missing, gatherLimit);
    if (total && *total < until) {
        until = *total;
    }
    std::this_thread::sleep_until(until);
}

PosixPort* portOf(PortHandle handle) {
    return handle == invalidPortHandle ? nullptr : reinterpret_cast<PosixPort*>(handle);
}

struct ComDeviceRange {
    int firstPort;
    int lastPort;
    const char* device; // numbered from 0 at firstPort
};

// Which device stands for which COM name; the names above the table stand for none.
constexpr std::array<ComDeviceRange, 4> comDeviceTable{{
    {1, 32, "ttyS"},
    {33, 64, "ttyUSB"},
    {65, 96, "ttyACM"},
    {97, 128, "ttyAMA"},
}};

// The longest time to wait for the descriptor, from now to the deadline, rounded up so
// that a wait never ends just short of it; -1 without a deadline.
int pollTimeout(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) {
        return -1;
    }
    auto left = *deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    auto ms = std::chrono::ceil<milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 1'000'000));
}

std::optional<Clock::time_point> deadlineAfter(Clock::time_point start, std::uint64_t ms) {
    return start + milliseconds(ms);
}

struct PosixGuard {
    std::mutex mutex;
    std::condition_variable available;
    int count = 1;
};

} // namespace

std::string systemDevicePath(const std::string& portName) {
    auto number = comPortNumber(portName);
    if (!number) {
        return {};
    }
    for (const auto& range : comDeviceTable) {
        if (*number >= range.firstPort && *number <= range.lastPort) {
            return deviceDirectory() + "/" + range.device +
                   std::to_string(*number - range.firstPort);
        }
    }
    return {};
}

PortHandle openPort(const std::string& devicePath, OpenFailure* failure) {
    auto fail = [failure](OpenFailure why) {
        if (failure) {
            *failure = why;
        }
        return invalidPortHandle;
    };
    if (devicePath.empty()) {
        return fail(OpenFailure::absent);
    }
    // Non-blocking, so that neither the open nor any later call waits on carrier detect
    // or a stopped line; every wait is a poll with a deadline of our own.
    int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        bool inUse = errno == EBUSY || errno == EACCES || errno == EPERM;
        return fail(inUse ? OpenFailure::inUse : OpenFailure::absent);
    }
    // Root gets past another program's TIOCEXCL; it is told, and closes before anything of
    // ours reaches the line or the flag.
    if (takenForExclusiveUse(fd)) {
        ::close(fd);
        return fail(OpenFailure::inUse);
    }
    // Exclusive use, as share mode 0 gives on Windows: the lock keeps out every other
    // opener that locks (ours included), TIOCEXCL every other opener but root, which the
    // check above keeps out of a port another program took. A device that is not a
    // terminal refuses TIOCEXCL; the line settings then report it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return fail(OpenFailure::inUse);
    }
    auto* port = new PosixPort{fd, {}, {}, -1};
    port->found.known = ::tcgetattr(fd, &port->found.settings) == 0;
    serial_struct serial{};
    port->found.serialKnown = ::ioctl(fd, TIOCGSERIAL, &serial) == 0;
    port->found.lowLatency = (serial.flags & ASYNC_LOW_LATENCY) != 0;
    // Reachable by a signal handler before anything of ours is set on the line.
    port->slot = takeSlot(fd, port->found);
    ::ioctl(fd, TIOCEXCL);
    if (failure) {
        *failure = OpenFailure::none;
    }
    return reinterpret_cast<PortHandle>(port);
}

void closePort(PortHandle port) {
    PosixPort* p = portOf(port);
    if (!p) {
        return;
    }
    // Put back before the slot is freed: a signal in between finds it released already
    // or releases it again, which does no harm.
    putBack(p->fd, p->found, p->lowLatencySet, p->releaseLines);
    freeSlot(p->slot);
    ::close(p->fd);
    delete p;
}

void releaseOpenPortsNow() noexcept {
    for (OpenPortSlot& slot : openPorts) {
        int fd = slot.fd.load(std::memory_order_acquire);
        if (fd >= 0 && slot.fd.compare_exchange_strong(fd, -1)) {
            putBack(fd, slot.found, slot.lowLatencySet.load(), slot.releaseLines.load());
            ::close(fd);
        }
    }
}

bool probePort(const std::string& devicePath) {
    OpenFailure why = OpenFailure::none;
    PortHandle port = openPort(devicePath, &why);
    if (port == invalidPortHandle) {
        return why == OpenFailure::inUse;
    }
    int fd = portOf(port)->fd;
    // Only a terminal is a serial port. The kernel makes a node for every ttyS line it
    // might have; one with no UART behind it reports the unknown serial type. Terminals
    // that have no serial details at all (USB CDC, pseudo-terminals) are ports as they are.
    bool present = ::isatty(fd) == 1;
    serial_struct details{};
    if (present && ::ioctl(fd, TIOCGSERIAL, &details) == 0 && details.type == PORT_UNKNOWN) {
        present = false;
    }
    closePort(port);
    return present;
}

LineResult applyLineSettings(PortHandle port, std::uint32_t baud) {
    PosixPort* p = portOf(port);
    termios tio{};
    if (!p || ::tcgetattr(p->fd, &tio) != 0) {
        return LineResult::getStateFailed;
    }
    cfmakeraw(&tio);
    // XON/XOFF on output only: the device's XOFF stops us, we never send either.
    tio.c_iflag |= IXON;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY | INPCK);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VSTART] = 0x11;
    tio.c_cc[VSTOP] = 0x13;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (!setSpeed(tio, baud) || ::tcsetattr(p->fd, TCSANOW, &tio) != 0) {
        return LineResult::setStateFailed;
    }
    p->byteTime = std::chrono::nanoseconds(std::chrono::seconds{bitsPerByte}) / baud;
    // DTR and RTS held off. A pseudo-terminal has no modem lines and says so.
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(p->fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
        return LineResult::setStateFailed;
    }
    requestLowLatency(*p);
    return LineResult::ok;
}

// The rate of an open port, and with binary the end of XON/XOFF: a flasher's binary data
// holds 0x11 and 0x13 like any other byte.
LineResult changeLineRate(PortHandle port, std::uint32_t baud, bool binary) {
    PosixPort* p = portOf(port);
    termios tio{};
    if (!p || ::tcgetattr(p->fd, &tio) != 0) {
        return LineResult::getStateFailed;
    }
    if (binary) {
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    }
    if (!setSpeed(tio, baud) || ::tcsetattr(p->fd, TCSANOW, &tio) != 0) {
        return LineResult::setStateFailed;
    }
    p->byteTime = std::chrono::nanoseconds(std::chrono::seconds{bitsPerByte}) / baud;
    return LineResult::ok;
}

ModemResult setModemLines(PortHandle port, ModemLines lines) {
    PosixPort* p = portOf(port);
    if (!p) {
        return ModemResult::failed;
    }
    const int bits = (lines.dtr ? TIOCM_DTR : 0) | (lines.rts ? TIOCM_RTS : 0);
    if (setDtrAndRts(p->fd, bits) == 0) {
        return ModemResult::ok;
    }
    // A pseudo-terminal answers ENOTTY, a driver without modem control EINVAL.
    return errno == ENOTTY || errno == EINVAL ? ModemResult::unsupported : ModemResult::failed;
}

void keepModemLinesOnRelease(PortHandle port, ModemLines lines) {
    PosixPort* p = portOf(port);
    if (!p) {
        return;
    }
    p->releaseLines = (lines.dtr ? TIOCM_DTR : 0) | (lines.rts ? TIOCM_RTS : 0);
    // Lines to be left asserted would be dropped by the last close of a port with HUPCL,
    // which the settings found at open usually have: they go back without it.
    if (p->releaseLines != 0) {
        p->found.settings.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    }
    if (p->slot >= 0) {
        OpenPortSlot& slot = openPorts[static_cast<std::size_t>(p->slot)];
        slot.found.settings.c_cflag = p->found.settings.c_cflag;
        slot.releaseLines.store(p->releaseLines);
    }
}

bool getCommTimeouts(PortHandle port, CommTimeouts& timeouts) {
    PosixPort* p = portOf(port);
    if (!p) {
        return false;
    }
    timeouts = p->timeouts;
    return true;
}

bool setCommTimeouts(PortHandle port, const CommTimeouts& timeouts) {
    PosixPort* p = portOf(port);
    if (!p) {
        return false;
    }
    p->timeouts = timeouts;
    return true;
}

bool readPort(PortHandle port, char* buffer, std::uint32_t wanted, std::uint32_t& received) {
    received = 0;
    PosixPort* p = portOf(port);
    if (!p) {
        return false;
    }
    const CommTimeouts& t = p->timeouts;
    const auto start = Clock::now();
    std::optional<Clock::time_point> total;
    if (t.readTotalTimeoutMultiplier != 0 || t.readTotalTimeoutConstant != 0) {
        total = deadlineAfter(start, std::uint64_t{t.readTotalTimeoutMultiplier} * wanted +
                                         t.readTotalTimeoutConstant);
    }
    std::optional<Clock::time_point> gapEnd;
    while (received < wanted) {
        // The nearer of the two deadlines: the total, and the gap after the last byte.
        auto deadline = total;
        if (gapEnd && (!deadline || *gapEnd < *deadline)) {
            deadline = gapEnd;
        }
        if (deadline && Clock::now() >= *deadline) {
            return true;
        }
        pollfd pfd{p->fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, pollTimeout(deadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (ready == 0) {
            continue; // the deadline is checked at the top
        }
        if (pfd.revents & POLLNVAL) {
            return false;
        }
        ssize_t n = ::read(p->fd, buffer + received, wanted - received);
        if (n > 0) {
            received += static_cast<std::uint32_t>(n);
            // The device answers a line once it has received it: what was written before
            // has left, however fast the line turned out to be.
            p->lineBusyUntil = std::min(p->lineBusyUntil, Clock::now());
            if (t.readIntervalTimeout != 0) {
                gapEnd = Clock::now() + milliseconds(t.readIntervalTimeout);
            }
            if (received < wanted) {
                gatherRest(*p, wanted - received, total);
            }
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // End of file or an I/O error on a terminal: the device has gone away (hang-up,
            // unplugged adapter). That is a failed read, not a time-out.
            return false;
        }
    }
    return true;
}

bool writePort(PortHandle port, const char* bytes, std::uint32_t length) {
    PosixPort* p = portOf(port);
    if (!p) {
        return false;
    }
    const CommTimeouts& t = p->timeouts;
    const auto start = Clock::now();
    std::optional<Clock::time_point> deadline;
    if (t.writeTotalTimeoutMultiplier != 0 || t.writeTotalTimeoutConstant != 0) {
        deadline = deadlineAfter(start, std::uint64_t{t.writeTotalTimeoutMultiplier} * length +
                                            t.writeTotalTimeoutConstant);
    }
    std::uint32_t sent = 0;
    while (sent < length) {
        ssize_t n = ::write(p->fd, bytes + sent, length - sent);
        if (n > 0) {
            sent += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false; // the device has gone away
        }
        // The output is full or stopped by the device's XOFF: wait until it drains, or
        // give up at the deadline, dropping what is unsent, as a Windows write does.
        if (deadline && Clock::now() >= *deadline) {
            break;
        }
        pollfd pfd{p->fd, POLLOUT, 0};
        int ready = ::poll(&pfd, 1, pollTimeout(deadline));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            return false;
        }
    }
    p->lineBusyUntil = std::max(p->lineBusyUntil, start) + p->byteTime * sent;
    auto until = p->lineBusyUntil - queuedLineLimit;
    if (deadline && *deadline < until) {
        until = *deadline;
    }
    std::this_thread::sleep_until(until);
    return true;
}

void purgePort(PortHandle port) {
    if (PosixPort* p = portOf(port)) {
        ::tcflush(p->fd, TCIOFLUSH);
        p->lineBusyUntil = {};
    }
}

GuardHandle createGuard() {
    return new PosixGuard;
}

bool waitGuard(GuardHandle guard, std::uint32_t timeoutMs) {
    auto* g = static_cast<PosixGuard*>(guard);
    if (!g) {
        return false;
    }
    std::unique_lock lock(g->mutex);
    auto taken = [g] { return g->count > 0; };
    if (timeoutMs == waitForever) {
        g->available.wait(lock, taken);
    } else if (!g->available.wait_for(lock, milliseconds(timeoutMs), taken)) {
        return false;
    }
    --g->count;
    return true;
}

ReleaseResult releaseGuard(GuardHandle guard) {
    auto* g = static_cast<PosixGuard*>(guard);
    if (!g) {
        return ReleaseResult::invalidHandle;
    }
    {
        std::scoped_lock lock(g->mutex);
        if (g->count >= 1) {
            return ReleaseResult::failed; // past its maximum count of one
        }
        ++g->count;
    }
    g->available.notify_one();
    return ReleaseResult::ok;
}

void closeGuard(GuardHandle guard) {
    delete static_cast<PosixGuard*>(guard);
}

} // namespace sparwick::serialsys
