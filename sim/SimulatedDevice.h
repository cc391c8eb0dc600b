#pragma once

#include "sim/BootLoader.h"
#include "sim/BootLoaderPort.h"
#include "sim/DeviceOptions.h"
#include "sim/DeviceStatistics.h"
#include "sim/FaultInjector.h"
#include "sim/FaultRule.h"
#include "sim/RamProgram.h"
#include "sim/Uart.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sparwick::sim {

class DeviceLink;
class PinSocket;
class PseudoTerminal;
class TrafficLog;

// A simulated LPC2000 boot loader on a pseudo-terminal of its own, served on its own
// thread, behind a symbolic link that the host opens as its serial port. The device stays
// powered while the host closes and opens the port. Every operation is safe to call from
// any thread while the device serves.
class SimulatedDevice : private BootLoaderPort {
public:
    using GoReport = BootLoader::GoReport;

    // Makes the pty and the link and starts serving. std::invalid_argument for an
    // unsupported part, flash contents that do not fit or an unusable link path;
    // std::system_error when the pty, the link or the log cannot be made.
    explicit SimulatedDevice(DeviceOptions options);
    // Stops serving, closes the pty and removes the link (and a directory it made).
    ~SimulatedDevice() override;
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    // The link: it stays the same across hang-ups.
    std::string path() const;
    // The pty the link points at now; empty while the device is unplugged.
    std::string ptyPath() const;
    std::uint32_t partId() const;

    // Power off and on: waiting for "?", echo on, locked; the flash is kept.
    void powerCycle();
    // The next board of a production line in its place: fresh from reset in ISP mode, its
    // flash erased. Fault rules keep counting over every board.
    void replaceBoard();
    void addFault(const FaultRule& rule);

    // The whole flash, the part's full size.
    std::vector<std::uint8_t> flash() const;
    // Whether G has been answered since power-on, and what the vector table held then.
    bool wentToUserCode() const;
    // Whether the board runs its firmware: G to flash, or code that G started in RAM has
    // started it. Code still running in RAM (a flasher) is not the firmware.
    bool runsFirmware() const;
    bool userCodeValid() const;
    std::optional<GoReport> userCode() const;
    DeviceStatistics statistics() const;

    // With exitAfterGo: true once G has been answered and the device has stopped.
    bool waitUntilStopped(std::chrono::milliseconds timeout);
    // True once the device is on a pty again (after a hang-up fault), with the given
    // generation or a later one (see DeviceStatistics::ptyGeneration).
    bool waitUntilServing(std::chrono::milliseconds timeout, std::uint32_t generation = 0);

private:
    using Clock = std::chrono::steady_clock;

    // BootLoaderPort, called by the boot loader on the serving thread with the lock held.
    void transmit(std::string_view bytes) override;
    void hangUp() override;
    void busy(std::chrono::microseconds duration) override;

    // What one turn of the serving loop waits for: the earliest moment it must wake, and
    // what it waits for on the pty's master end.
    struct TurnWait {
        std::optional<Clock::time_point> wake;
        short masterEvents = 0;
        void wakeAt(std::optional<Clock::time_point> when);
    };

    void serve();
    void serveOnce(std::unique_lock<std::mutex>& lock);
    // The line's part of a turn while the host is plugged in: false when the turn ends
    // there, with the board unplugged or the device stopping.
    bool serveLine(Clock::time_point now, TurnWait& wait);
    // Sleeps, without the lock, until the host, the pins, a wake-up or the deadline.
    void waitForWork(std::unique_lock<std::mutex>& lock, Clock::time_point now,
                     const TurnWait& wait);
    void refreshLineSettings(Clock::time_point now);
    // The boot loader takes what the UART has received, as long as it takes input.
    void process(Clock::time_point now);
    void checkFinished(Clock::time_point now);
    // Code that G started in RAM runs; true when it should run again at once.
    bool runRamProgram(Clock::time_point now);
    bool wentToRam() const;
    void unplug(Clock::time_point now);
    void plugIn(Clock::time_point now);
    void resetLine();
    // What the host wrote and the UART has not taken yet is lost at a reset, as a part's
    // UART loses it.
    void dropUnreadInput();
    void event(const std::string& text);
    // The part leaves reset (power-on, a power cycle, RESET released): its boot loader,
    // or its firmware when P0.14 is high and the flash holds valid code.
    void startPart();
    // The host's DTR and RTS (TIOCM_* bits) as the pins see them.
    void changeLines(std::int32_t lines);
    // The pin bridge's socket for the pty now in use, with --pins.
    void openPinSocket();

    DeviceOptions options;
    FaultInjector faults;
    std::unique_ptr<TrafficLog> log;
    std::unique_ptr<BootLoader> bootLoader;
    std::string privateDirectory;
    std::unique_ptr<DeviceLink> link;
    std::unique_ptr<PseudoTerminal> pty;

    mutable std::mutex mutex;
    std::condition_variable changed;
    int wakeRead = -1;
    int wakeWrite = -1;
    bool stopRequested = false;
    bool stopped = false;

    // The line to the host, from the device's UART to the host's end of the pty.
    std::unique_ptr<Uart> uart;
    // What G started in RAM, until a power cycle.
    std::unique_ptr<RamProgram> ramProgram;
    Clock::time_point nextSettingsCheck{};
    std::optional<Clock::time_point> plugInAt;
    bool hangUpRequested = false;
    std::optional<Clock::time_point> finishBy;

    std::unique_ptr<PinSocket> pinSocket;
    std::int32_t modemLines = 0;
    bool linesDriven = false; // by the host since the pty was made
    bool resetLow = false;
    bool ispLow = false;
    // The firmware in flash runs (silent on the line); fromReset: started by a reset the
    // host made, which ends the device with exitAfterGo as G does.
    bool firmwareRunning = false;
    bool firmwareFromReset = false;
    std::uint32_t pinResets = 0;

    std::optional<std::uint32_t> hostBaud;
    std::uint32_t powerCycles = 0;
    std::uint32_t hangUps = 0;
    std::uint32_t generation = 0;

    std::thread thread;
};

} // namespace sparwick::sim
