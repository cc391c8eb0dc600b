#include "sim/SimulatedDevice.h"

#include "sim/BootLoaderConstants.h"
#include "sim/DeviceLink.h"
#include "sim/PseudoTerminal.h"
#include "sim/TrafficLog.h"
#include "sim/pins/PinSocket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <span>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace sparwick::sim {

namespace {

// An unplugged adapter comes back after this long.
constexpr std::chrono::milliseconds unpluggedTime{200};
// After G, how long the device waits for the host to read the reply before it stops.
constexpr std::chrono::milliseconds finishTime{1000};
// After a reset into the firmware, how long the device stays for the host's last modem-line
// requests (on Windows DTR is written again after RTS) before it stops.
constexpr std::chrono::milliseconds resetFinishTime{300};
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
    return std::chrono::nanoseconds(std::chrono::seconds{bitsPerByte}) / baud;
}

// The pty's master as the host's end of the line.
class MasterEnd final : public Uart::HostEnd {
public:
    explicit MasterEnd(int masterFd)
        : fd(masterFd) {}

    std::size_t read(std::span<char> into) override {
        const ssize_t got = ::read(fd, into.data(), into.size());
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }

    Written write(std::string_view bytes) override {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            return {0, true, errno == EAGAIN};
        }
        return {static_cast<std::size_t>(written), false, false};
    }

private:
    int fd;
};

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
    // Busy flash and a transmitter that holds the boot loader only where the line's
    // timing is emulated.
    uart = std::make_unique<Uart>(options.wireBaud.has_value(), options.adapterLatency, log.get());

    if (options.linkPath.empty()) {
        privateDirectory = makePrivateDirectory();
        options.linkPath = privateDirectory + "/ttyISP";
    }
    try {
        link = std::make_unique<DeviceLink>(options.linkPath);
        pty = std::make_unique<PseudoTerminal>();
        link->pointTo(pty->slavePath());
        openPinSocket();
        std::array<int, 2> pipeEnds{};
        if (pipe2(pipeEnds.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        wakeRead = pipeEnds[0];
        wakeWrite = pipeEnds[1];
    } catch (...) {
        pinSocket.reset();
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
    if (options.bootUser) {
        startPart();
    }
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
          std::to_string(uart->bytesLost()) + " bytes lost to overrun, " +
          std::to_string(uart->xoffsSent()) + " XOFF sent");
    pinSocket.reset();
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
    ++powerCycles;
    // Without P0.14 held low, the boot loader would start valid user code at this reset.
    event(bootLoader->flash().holdsValidUserCode()
              ? "power cycle; the flash holds valid user code"
              : "power cycle; no valid user code in the flash: the boot loader stays in ISP mode");
    startPart();
    const char wake = 0;
    [[maybe_unused]] const auto written = ::write(wakeWrite, &wake, 1);
}

void SimulatedDevice::replaceBoard() {
    const std::lock_guard lock(mutex);
    // The code the last board ran in RAM went with it: it held that board's memory.
    ramProgram.reset();
    nextSettingsCheck = {};
    BootLoaderPort& port = *this;
    bootLoader = std::make_unique<BootLoader>(
        requirePart(options.partId), std::span<const std::uint8_t>(), faults, port, log.get());
    bootLoader->setByteTime(uart->byteTime());
    resetLine();
    firmwareRunning = false;
    firmwareFromReset = false;
    ++powerCycles;
    event("the next board, erased, in ISP mode");
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

bool SimulatedDevice::runsFirmware() const {
    const std::lock_guard lock(mutex);
    if (!bootLoader->userCode()) {
        return false;
    }
    return !wentToRam() ||
           (ramProgram && ramProgram->state() == RamProgram::State::firmwareStarted);
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
    stats.xoffsSent = uart->xoffsSent();
    stats.bytesLost = uart->bytesLost();
    stats.powerCycles = powerCycles;
    stats.hangUps = hangUps;
    stats.faultsUsed = faults.used();
    stats.ptyGeneration = generation;
    stats.hostBaud = hostBaud;
    stats.synchronized = bootLoader->synchronized();
    stats.echoOn = bootLoader->echoOn();
    stats.unlocked = bootLoader->unlocked();
    if (ramProgram) {
        stats.ramCodeRunning = ramProgram->state() == RamProgram::State::running;
        stats.firmwareStarted = ramProgram->state() == RamProgram::State::firmwareStarted;
        stats.ramCodeFault = ramProgram->fault();
        stats.ramCodeBaud = ramProgram->baud();
        const SystemControl& clocks = ramProgram->systemControl();
        stats.ramCodeCoreClockHz = clocks.coreClockHz();
        stats.ramCodePllControl = clocks.effectivePllControl();
        stats.ramCodePllConfig = clocks.effectivePllConfig();
        stats.ramCodeSectorsErased = ramProgram->sectorsErased();
        stats.ramCodeCopies = ramProgram->copiesMade();
    }
    stats.resetHeld = resetLow;
    stats.ispPinLow = ispLow;
    stats.runningFirmware = firmwareRunning;
    stats.pinResets = pinResets;
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
    uart->transmit(bytes);
}

void SimulatedDevice::hangUp() {
    hangUpRequested = true;
}

void SimulatedDevice::busy(std::chrono::microseconds duration) {
    uart->busy(duration, Clock::now());
}

void SimulatedDevice::event(const std::string& text) {
    if (log) {
        log->event(text);
    }
}

void SimulatedDevice::resetLine() {
    uart->reset();
    dropUnreadInput();
    finishBy.reset();
}

void SimulatedDevice::dropUnreadInput() {
    if (!pty) {
        return;
    }
    // Bounded: a host that goes on writing meanwhile is heard by the fresh UART.
    std::array<char, 4096> drain{};
    for (int chunk = 0; chunk < 64 && ::read(pty->master(), drain.data(), drain.size()) > 0;
         ++chunk) {
    }
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

void SimulatedDevice::TurnWait::wakeAt(std::optional<Clock::time_point> when) {
    if (when && (!wake || *when < *wake)) {
        wake = when;
    }
}

void SimulatedDevice::serveOnce(std::unique_lock<std::mutex>& lock) {
    const Clock::time_point now = Clock::now();
    TurnWait wait;
    if (!pty && plugInAt && now >= *plugInAt) {
        plugIn(now);
    }
    if (pty) {
        if (!serveLine(now, wait)) {
            return;
        }
    } else {
        wait.wakeAt(plugInAt);
    }
    wait.wakeAt(bootLoader->deadline());
    waitForWork(lock, now, wait);
}

bool SimulatedDevice::serveLine(Clock::time_point now, TurnWait& wait) {
    MasterEnd host(pty->master());
    // Until it has synchronised, the device looks at the rate as each byte comes: the
    // autobaud measures the "?" at whatever rate the host has just set.
    if (!bootLoader->synchronized()) {
        nextSettingsCheck = {};
    }
    refreshLineSettings(now);
    uart->receiveFrom(host, now);
    process(now);
    if (runRamProgram(now)) {
        wait.wakeAt(now);
    }
    if (hangUpRequested) {
        unplug(now);
        return false;
    }
    uart->transmitTo(host, now);
    if (ramProgram && ramProgram->waitsForTransmitter() &&
        uart->transmitPending() < isp::uartFifoSize) {
        wait.wakeAt(now);
    }
    checkFinished(now);
    if (stopRequested) {
        return false;
    }

    if (uart->readsWhenReady()) {
        wait.masterEvents |= POLLIN;
    }
    if (uart->waitsForRoom()) {
        wait.masterEvents |= POLLOUT;
    }
    wait.wakeAt(uart->deadline(now));
    if (options.wireBaud == 0u) {
        wait.wakeAt(nextSettingsCheck);
    }
    if (finishBy) {
        wait.wakeAt(now + finishPoll);
    }
    return true;
}

void SimulatedDevice::waitForWork(std::unique_lock<std::mutex>& lock, Clock::time_point now,
                                  const TurnWait& wait) {
    // Woken to the microsecond: the line's byte slots are a tenth of a millisecond apart
    // at 115200 baud, and rounding each wake-up to whole milliseconds would make every
    // exchange on a paced line a millisecond or two longer than the cable's.
    std::chrono::nanoseconds timeout = idlePoll;
    if (wait.wake) {
        timeout = std::clamp<std::chrono::nanoseconds>(*wait.wake - now,
                                                       std::chrono::nanoseconds{0}, idlePoll);
    }
    const auto wholeSeconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec pollTimeout{static_cast<time_t>(wholeSeconds.count()),
                               static_cast<long>((timeout - wholeSeconds).count())};
    std::array<pollfd, 3> fds{};
    fds[0] = {wakeRead, POLLIN, 0};
    fds[1] = {pty ? pty->master() : -1, wait.masterEvents, 0};
    fds[2] = {pinSocket ? pinSocket->fd() : -1, POLLIN, 0};
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
    uart->setHostHasSent((fds[1].revents & POLLIN) != 0);
    if ((fds[1].revents & POLLOUT) != 0) {
        uart->hostHasRoom();
    }
    if ((fds[2].revents & POLLIN) != 0 && pinSocket) {
        pinSocket->serveOne(modemLines, [this](std::int32_t lines) { changeLines(lines); });
    }
}

void SimulatedDevice::refreshLineSettings(Clock::time_point now) {
    // Code in RAM may be at another rate than the host at any moment: what the host has
    // set is read before each turn.
    if (now < nextSettingsCheck && !ramProgram) {
        return;
    }
    nextSettingsCheck = now + settingsInterval;
    const auto settings = pty->lineSettings();
    if (settings) {
        hostBaud = settings->baud;
    }
    // A line of a rate of its own carries that rate whatever the host set.
    bootLoader->setLineRate(options.wireBaud.value_or(0) != 0 ? *options.wireBaud
                            : settings                        ? settings->baud
                                                              : 0);
    uart->setHostStopsOnXoff(pty->hostHonoursXoff());
    std::chrono::nanoseconds byteTime{0};
    if (options.wireBaud == 0u) {
        if (settings) {
            byteTime = byteTimeOf(settings->baud, settings->bitsPerByte);
        }
    } else if (options.wireBaud && ramProgram) {
        // The code in RAM has set the UART's rate itself.
        byteTime =
            byteTimeOf(ramProgram->baud(), isp::startBits + isp::dataBits + ramProgram->stopBits());
    } else if (options.wireBaud) {
        // The device's own UART: the given rate until B sets another.
        const std::uint32_t baud = bootLoader->requestedBaud().value_or(*options.wireBaud);
        byteTime =
            byteTimeOf(baud, isp::startBits + isp::dataBits + bootLoader->requestedStopBits());
    }
    if (byteTime != uart->byteTime()) {
        uart->setByteTime(byteTime);
        bootLoader->setByteTime(byteTime);
    }
}

void SimulatedDevice::process(Clock::time_point now) {
    // A part held in reset, or running its firmware, takes nothing from the line.
    if (resetLow || firmwareRunning) {
        while (uart->takeInput(now)) {
        }
        return;
    }
    // After G the bytes are for the code it started.
    while (!hangUpRequested && !bootLoader->userCode()) {
        const std::optional<char> byte = uart->takeInput(now);
        if (!byte) {
            break;
        }
        bootLoader->receive(*byte, now);
    }
    if (!hangUpRequested) {
        bootLoader->tick(now);
    }
}

bool SimulatedDevice::wentToRam() const {
    const auto& go = bootLoader->userCode();
    return go && go->address >= isp::ramBase && go->address - isp::ramBase < isp::ramSize;
}

bool SimulatedDevice::runRamProgram(Clock::time_point now) {
    if (hangUpRequested || !wentToRam()) {
        return false;
    }
    if (!ramProgram) {
        // The UART stays at the rate the boot loader talked at.
        std::uint32_t baud = hostBaud.value_or(0);
        if (options.wireBaud && *options.wireBaud != 0) {
            baud = bootLoader->requestedBaud().value_or(*options.wireBaud);
        }
        const auto& go = *bootLoader->userCode();
        BootLoaderPort& port = *this;
        ramProgram = std::make_unique<RamProgram>(
            go.address, go.thumbMode, bootLoader->ramContents(), bootLoader->userFlash(), *uart,
            baud, SystemControl(options.crystalHz, options.pllLocks), faults, port, log.get(),
            options.bootLoaderFdr);
    }
    const bool again = ramProgram->serve(now, hostBaud.value_or(0));
    refreshLineSettings(now);
    return again;
}

void SimulatedDevice::checkFinished(Clock::time_point now) {
    // A reset into the firmware ends it as a G does.
    if (!options.exitAfterGo || (!bootLoader->userCode() && !firmwareFromReset)) {
        return;
    }
    // Code in RAM runs until it starts the firmware; a device whose code ran away stays
    // dead, as a board would.
    if (!firmwareFromReset && wentToRam() &&
        (!ramProgram || ramProgram->state() != RamProgram::State::firmwareStarted)) {
        return;
    }
    if (!finishBy) {
        finishBy = now + (firmwareFromReset ? resetFinishTime : finishTime);
    }
    // The host must still get to read the reply to G: closing the pty now would take
    // the reply with it.
    const bool hostDone = !firmwareFromReset && uart->drained() && pty->unreadByHost() == 0;
    if (hostDone || now >= *finishBy) {
        event("user code runs: the device stops");
        stopRequested = true;
    }
}

void SimulatedDevice::unplug(Clock::time_point now) {
    hangUpRequested = false;
    ++hangUps;
    event("hang-up: " + pty->slavePath() + " goes away");
    pinSocket.reset();
    link->remove();
    pty.reset();
    uart->disconnect();
    finishBy.reset();
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
    // A new adapter: nothing drives the pins until the host does.
    linesDriven = false;
    modemLines = 0;
    resetLow = false;
    ispLow = false;
    openPinSocket();
    startPart();
    ++powerCycles;
    ++generation;
    nextSettingsCheck = {};
    event("back on " + pty->slavePath() + ", power-cycled");
    changed.notify_all();
}

} // namespace sparwick::sim
