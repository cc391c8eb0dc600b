#include "sim/SimulatedDevice.h"

#include "sim/BootLoaderConstants.h"
#include "sim/DeviceLink.h"
#include "sim/PseudoTerminal.h"
#include "sim/TrafficLog.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace sparwick::sim {

namespace {

// The UART's receive buffer (ReceiveFifo::capacity): XOFF when it is this full, XON when
// it has drained again.
constexpr std::size_t xoffLevel = 96;
constexpr std::size_t xonLevel = 32;
// A host stopped by our XOFF while it has stopped us must still get its XON through: this
// much is read even from a full buffer, flow control bytes taken and the rest lost.
constexpr std::size_t flowControlReach = isp::uartFifoSize;
// The most taken from the line at once while the boot loader is not taking input.
constexpr std::size_t lineChunk = 256;
// The transmitter: on an emulated line the boot loader waits while its FIFO is full; on
// a plain pty it stops taking input only when the host has left this much unread.
constexpr std::size_t transmitFifo = isp::uartFifoSize;
constexpr std::size_t transmitBacklog = 64 * 1024;
// An unplugged adapter comes back after this long.
constexpr std::chrono::milliseconds unpluggedTime{200};
// After G, how long the device waits for the host to read the reply before it stops.
constexpr std::chrono::milliseconds finishTime{1000};
// How often it looks whether the host has read that reply.
constexpr std::chrono::milliseconds finishPoll{5};
constexpr std::chrono::milliseconds settingsInterval{20};
constexpr std::chrono::milliseconds idlePoll{500};

std::string makePrivateDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lpcsim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    return pattern;
}

PartDescription requirePart(std::uint32_t partId) {
    const auto part = PartDescription::find(partId);
    if (!part) {
        throw std::invalid_argument("unsupported part " + std::to_string(partId));
    }
    return *part;
}

std::chrono::nanoseconds byteTimeOf(std::uint32_t baud, std::uint32_t bitsPerByte) {
    if (baud == 0) {
        return std::chrono::nanoseconds{0};
    }
    return std::chrono::nanoseconds{std::uint64_t{bitsPerByte} * 1'000'000'000u / baud};
}

} // namespace

SimulatedDevice::SimulatedDevice(DeviceOptions deviceOptions)
    : options(std::move(deviceOptions)) {
    const PartDescription part = requirePart(options.partId);
    for (const FaultRule& rule : options.faults) {
        faults.add(rule);
    }
    if (!options.logPath.empty()) {
        log = std::make_unique<TrafficLog>(options.logPath);
    }
    BootLoaderPort& port = *this;
    bootLoader = std::make_unique<BootLoader>(part, options.flash, faults, port, log.get());
    options.flash.clear();
    options.flash.shrink_to_fit();
    adapter.setLatency(options.adapterLatency);

    if (options.linkPath.empty()) {
        privateDirectory = makePrivateDirectory();
        options.linkPath = privateDirectory + "/ttyISP";
    }
    try {
        link = std::make_unique<DeviceLink>(options.linkPath);
        pty = std::make_unique<PseudoTerminal>();
        link->pointTo(pty->slavePath());
        std::array<int, 2> pipeEnds{};
        if (pipe2(pipeEnds.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        wakeRead = pipeEnds[0];
        wakeWrite = pipeEnds[1];
    } catch (...) {
        link.reset();
        pty.reset();
        if (!privateDirectory.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(privateDirectory, ignored);
        }
        throw;
    }
    event("device " + std::to_string(options.partId) + " on " + pty->slavePath() + " behind " +
          options.linkPath);
    refreshLineSettings(Clock::now());
    thread = std::thread([this] { serve(); });
}

SimulatedDevice::~SimulatedDevice() {
    {
        const std::lock_guard lock(mutex);
        stopRequested = true;
    }
    const char wake = 0;
    [[maybe_unused]] const auto written = ::write(wakeWrite, &wake, 1);
    thread.join();
    event("end: " + std::to_string(bootLoader->resendsSent()) + " RESEND sent, " +
          std::to_string(received.lost()) + " bytes lost to overrun, " + std::to_string(xoffs) +
          " XOFF sent");
    link.reset();
    pty.reset();
    ::close(wakeRead);
    ::close(wakeWrite);
    if (!privateDirectory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(privateDirectory, ignored);
    }
}

std::string SimulatedDevice::path() const {
    return options.linkPath;
}

std::string SimulatedDevice::ptyPath() const {
    const std::lock_guard lock(mutex);
    return pty ? pty->slavePath() : std::string();
}

std::uint32_t SimulatedDevice::partId() const {
    return options.partId;
}

void SimulatedDevice::powerCycle() {
    const std::lock_guard lock(mutex);
    bootLoader->powerOn();
    resetLine();
    ++powerCycles;
    event("power cycle");
    const char wake = 0;
    [[maybe_unused]] const auto written = ::write(wakeWrite, &wake, 1);
}

void SimulatedDevice::addFault(const FaultRule& rule) {
    const std::lock_guard lock(mutex);
    faults.add(rule);
}

std::vector<std::uint8_t> SimulatedDevice::flash() const {
    const std::lock_guard lock(mutex);
    const auto bytes = bootLoader->flash().bytes();
    return {bytes.begin(), bytes.end()};
}

bool SimulatedDevice::wentToUserCode() const {
    const std::lock_guard lock(mutex);
    return bootLoader->userCode().has_value();
}

bool SimulatedDevice::userCodeValid() const {
    const std::lock_guard lock(mutex);
    return bootLoader->userCode() && bootLoader->userCode()->validUserCode;
}

std::optional<SimulatedDevice::GoReport> SimulatedDevice::userCode() const {
    const std::lock_guard lock(mutex);
    return bootLoader->userCode();
}

DeviceStatistics SimulatedDevice::statistics() const {
    const std::lock_guard lock(mutex);
    DeviceStatistics stats;
    stats.commands = bootLoader->commandCounts();
    stats.resendsSent = bootLoader->resendsSent();
    stats.xoffsSent = xoffs;
    stats.bytesLost = received.lost();
    stats.powerCycles = powerCycles;
    stats.hangUps = hangUps;
    stats.faultsUsed = faults.used();
    stats.ptyGeneration = generation;
    stats.hostBaud = hostBaud;
    stats.synchronized = bootLoader->synchronized();
    stats.echoOn = bootLoader->echoOn();
    stats.unlocked = bootLoader->unlocked();
    return stats;
}

bool SimulatedDevice::waitUntilStopped(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [this] { return stopped; });
}

bool SimulatedDevice::waitUntilServing(std::chrono::milliseconds timeout,
                                       std::uint32_t wantedGeneration) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] {
        return stopped || (pty != nullptr && generation >= wantedGeneration);
    }) && !stopped;
}

void SimulatedDevice::transmit(std::string_view bytes) {
    toSend += bytes;
}

void SimulatedDevice::hangUp() {
    hangUpRequested = true;
}

void SimulatedDevice::busy(std::chrono::microseconds duration) {
    if (!paced()) {
        return;
    }
    const Clock::time_point now = Clock::now();
    busyUntil = std::max(busyUntil, now) + duration;
    // What is queued already (the command's echo) goes out while the flash works; the
    // reply that follows waits for it.
    if (holdUntil <= now) {
        sendableDuringHold = toSend.size();
    }
    holdUntil = busyUntil;
}

void SimulatedDevice::event(const std::string& text) {
    if (log) {
        log->event(text);
    }
}

void SimulatedDevice::resetLine() {
    received.clear();
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
    finishBy.reset();
}

void SimulatedDevice::serve() {
    std::unique_lock lock(mutex);
    try {
        while (!stopRequested) {
            serveOnce(lock);
        }
    } catch (const std::exception& error) {
        event(std::string("stopped by an error: ") + error.what());
    }
    stopped = true;
    changed.notify_all();
}

void SimulatedDevice::serveOnce(std::unique_lock<std::mutex>& lock) {
    Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> wake;
    const auto wakeAt = [&](std::optional<Clock::time_point> when) {
        if (when && (!wake || *when < *wake)) {
            wake = when;
        }
    };

    if (!pty && plugInAt && now >= *plugInAt) {
        plugIn(now);
    }
    short masterEvents = 0;
    if (pty) {
        refreshLineSettings(now);
        receiveFromLine(now);
        process(now);
        if (hangUpRequested) {
            unplug(now);
            return;
        }
        flowControl();
        transmitToLine(now);
        checkFinished(now);
        if (stopRequested) {
            return;
        }

        const bool receiving = received.room() > 0 || stoppedByHost || !hostStopsOnXoff;
        if (receiving && (!inbound.paced() || inbound.idle())) {
            masterEvents |= POLLIN;
        } else if (receiving) {
            wakeAt(inbound.nextSlot());
        }
        if (writeBlocked) {
            masterEvents |= POLLOUT;
        } else {
            if (!toSend.empty() || flowByte) {
                wakeAt(outbound.nextSlot());
                if (now < holdUntil) {
                    wakeAt(holdUntil);
                }
            }
            wakeAt(adapter.deadline());
        }
        if (!received.empty()) {
            // Input waits for the flash to finish, or for the transmitter to drain; once
            // it no longer has to wait, the boot loader takes it at once.
            if (now < busyUntil) {
                wakeAt(busyUntil);
            } else if (takesInput(now)) {
                wakeAt(now);
            }
        }
        if (options.wireBaud == 0u) {
            wakeAt(nextSettingsCheck);
        }
        if (finishBy) {
            wakeAt(now + finishPoll);
        }
    } else {
        wakeAt(plugInAt);
    }
    wakeAt(bootLoader->deadline());

    // Woken to the microsecond: the line's byte slots are a tenth of a millisecond apart
    // at 115200 baud, and rounding each wake-up to whole milliseconds would make every
    // exchange on a paced line a millisecond or two longer than the cable's.
    std::chrono::nanoseconds timeout = idlePoll;
    if (wake) {
        timeout = std::clamp<std::chrono::nanoseconds>(*wake - now, std::chrono::nanoseconds{0},
                                                       idlePoll);
    }
    const timespec pollTimeout{static_cast<time_t>(timeout.count() / 1'000'000'000),
                               static_cast<long>(timeout.count() % 1'000'000'000)};
    std::array<pollfd, 2> fds{};
    fds[0] = {wakeRead, POLLIN, 0};
    fds[1] = {pty ? pty->master() : -1, masterEvents, 0};
    lock.unlock();
    const int ready = ::ppoll(fds.data(), fds.size(), &pollTimeout, nullptr);
    lock.lock();
    if (ready < 0) {
        return;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        std::array<char, 64> drain{};
        while (::read(wakeRead, drain.data(), drain.size()) > 0) {
        }
    }
    masterReadable = (fds[1].revents & POLLIN) != 0;
    if ((fds[1].revents & POLLOUT) != 0) {
        writeBlocked = false;
    }
}

void SimulatedDevice::refreshLineSettings(Clock::time_point now) {
    if (now < nextSettingsCheck) {
        return;
    }
    nextSettingsCheck = now + settingsInterval;
    const auto settings = pty->lineSettings();
    if (settings) {
        hostBaud = settings->baud;
    }
    hostStopsOnXoff = pty->hostHonoursXoff();
    std::chrono::nanoseconds byteTime{0};
    if (options.wireBaud == 0u) {
        if (settings) {
            byteTime = byteTimeOf(settings->baud, settings->bitsPerByte);
        }
    } else if (options.wireBaud) {
        // The device's own UART: the given rate until B sets another.
        const std::uint32_t baud = bootLoader->requestedBaud().value_or(*options.wireBaud);
        byteTime =
            byteTimeOf(baud, isp::startBits + isp::dataBits + bootLoader->requestedStopBits());
    }
    if (byteTime != inbound.byteTime()) {
        inbound.setByteTime(byteTime);
        outbound.setByteTime(byteTime);
        bootLoader->setByteTime(byteTime);
    }
}

void SimulatedDevice::receiveFromLine(Clock::time_point now) {
    // A host that honours XOFF is stopped in time by its own end of the line: what it has
    // written and we have not read waits in its transmitter. One that ignores XOFF keeps
    // the line busy, and while the boot loader takes nothing the buffer fills and the
    // rest is lost, as in a UART's overrun.
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
            if (masterReadable) {
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
    const ssize_t got = ::read(pty->master(), buffer.data(), wanted);
    const std::size_t count = got > 0 ? static_cast<std::size_t>(got) : 0;
    masterReadable = false;
    const std::uint64_t lostBefore = received.lost();
    for (std::size_t i = 0; i < count; ++i) {
        // Flow control belongs to the UART's driver, not to the boot loader.
        if (buffer[i] == isp::xoff) {
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

bool SimulatedDevice::takesInput(Clock::time_point now) const {
    const std::size_t backlog = paced() ? transmitFifo : transmitBacklog;
    return now >= busyUntil && !hangUpRequested && toSend.size() <= backlog;
}

void SimulatedDevice::process(Clock::time_point now) {
    while (!received.empty() && takesInput(now)) {
        bootLoader->receive(received.front(), now);
        received.pop();
    }
    if (!hangUpRequested) {
        bootLoader->tick(now);
    }
}

void SimulatedDevice::flowControl() {
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

void SimulatedDevice::transmitToLine(Clock::time_point now) {
    if (writeBlocked || !passOnHeld(now)) {
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
        if (::write(pty->master(), &byte, 1) == 1) {
            flowByte.reset();
            --budget;
            ++sent;
        } else {
            writeBlocked = errno == EAGAIN;
            return;
        }
    }
    const std::size_t wanted = std::min(sendable, budget);
    if (adapter.enabled()) {
        // Into the adapter as far as it has room; each packet that fills goes at once.
        std::size_t taken = 0;
        while (taken < wanted && adapter.room() > 0) {
            const std::size_t count = std::min(wanted - taken, adapter.room());
            adapter.hold(std::string_view(toSend).substr(taken, count), now);
            taken += count;
            if (!passOnHeld(now)) {
                break;
            }
        }
        toSend.erase(0, taken);
        sendableDuringHold -= std::min(sendableDuringHold, taken);
        sent += taken;
    } else if (wanted > 0) {
        const ssize_t written = ::write(pty->master(), toSend.data(), wanted);
        if (written < 0) {
            writeBlocked = errno == EAGAIN;
        } else {
            const auto count = static_cast<std::size_t>(written);
            toSend.erase(0, count);
            sendableDuringHold -= std::min(sendableDuringHold, count);
            sent += count;
            writeBlocked = count < wanted;
        }
    }
    outbound.took(sent, !writeBlocked && sent < budget);
}

bool SimulatedDevice::passOnHeld(Clock::time_point now) {
    const std::string_view due = adapter.due(now);
    if (due.empty()) {
        return true;
    }
    const ssize_t written = ::write(pty->master(), due.data(), due.size());
    if (written < 0) {
        writeBlocked = errno == EAGAIN;
        return false;
    }
    adapter.delivered(static_cast<std::size_t>(written));
    writeBlocked = static_cast<std::size_t>(written) < due.size();
    return !writeBlocked;
}

void SimulatedDevice::checkFinished(Clock::time_point now) {
    if (!options.exitAfterGo || !bootLoader->userCode()) {
        return;
    }
    if (!finishBy) {
        finishBy = now + finishTime;
    }
    // The host must still get to read the reply to G: closing the pty now would take
    // the reply with it.
    if ((toSend.empty() && adapter.empty() && pty->unreadByHost() == 0) || now >= *finishBy) {
        event("user code runs: the device stops");
        stopRequested = true;
    }
}

void SimulatedDevice::unplug(Clock::time_point now) {
    hangUpRequested = false;
    ++hangUps;
    event("hang-up: " + pty->slavePath() + " goes away");
    link->remove();
    pty.reset();
    resetLine();
    flowByte.reset();
    writeBlocked = false;
    masterReadable = false;
    plugInAt = now + unpluggedTime;
    changed.notify_all();
}

void SimulatedDevice::plugIn(Clock::time_point now) {
    try {
        auto fresh = std::make_unique<PseudoTerminal>();
        link->pointTo(fresh->slavePath());
        pty = std::move(fresh);
    } catch (const std::system_error& error) {
        event(std::string("cannot come back yet: ") + error.what());
        plugInAt = now + unpluggedTime;
        return;
    }
    plugInAt.reset();
    bootLoader->powerOn();
    resetLine();
    ++powerCycles;
    ++generation;
    nextSettingsCheck = {};
    event("back on " + pty->slavePath() + ", power-cycled");
    changed.notify_all();
}

} // namespace sparwick::sim
