#include "sim/LpcsimCommandLine.h"
#include "sim/SimulatedDevice.h"

#include <SparwickVersion.h>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

using sparwick::sim::LpcsimCommandLine;
using sparwick::sim::SimulatedDevice;

namespace {

constexpr int usageError = 2;
constexpr int runError = 1;
// How often the main thread looks whether the device has stopped after G.
constexpr long signalPollNanoseconds = 50'000'000;
// How long a board of a line runs its firmware before the next board is there.
constexpr auto boardChange = std::chrono::milliseconds{300};

bool writeFlash(const std::string& path, const std::vector<std::uint8_t>& flash) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(flash.data()),
               static_cast<std::streamsize>(flash.size()));
    file.close();
    return static_cast<bool>(file);
}

// The pin bridge library: beside this program in a build tree, else where it is installed
// relative to this program's bin directory.
std::string pinBridgePath() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return LPCSIM_PINS_LIBRARY;
    }
    const auto beside = self.parent_path() / LPCSIM_PINS_LIBRARY;
    if (std::filesystem::exists(beside, error)) {
        return beside.string();
    }
    return (self.parent_path() / LPCSIM_PINS_INSTALLED).lexically_normal().string();
}

// The flash of board (counted from 1) into its --flash-out file, if one was asked for;
// false, having said so, when it cannot be written.
bool dumpFlash(const LpcsimCommandLine& commandLine, std::uint32_t board,
               const SimulatedDevice& device) {
    if (commandLine.flashOutPath().empty() ||
        writeFlash(commandLine.flashOutPath(board), device.flash())) {
        return true;
    }
    std::cerr << "lpcsim: cannot write --flash-out " << commandLine.flashOutPath(board) << "\n";
    return false;
}

// What a command line settles before any device exists: help, the version, or a usage
// error; the exit status then, else nothing.
std::optional<int> answeredWithoutDevice(const LpcsimCommandLine& commandLine) {
    if (commandLine.helpWanted()) {
        std::cout << LpcsimCommandLine::usage();
        return 0;
    }
    if (commandLine.versionWanted()) {
        std::cout << "lpcsim " << sparwick::versionText << "\n";
        return 0;
    }
    if (!commandLine.ok()) {
        std::cerr << "lpcsim: " << commandLine.errorMessage() << "\n"
                  << "Try 'lpcsim --help'.\n";
        return usageError;
    }
    return std::nullopt;
}

// The signals, blocked here to be taken one at a time by the main thread; the device's
// thread, made after this, inherits the mask and never sees them.
sigset_t takeSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signals;
}

// The device the command line describes, serving and announced; the exit status when it
// cannot start.
std::variant<std::unique_ptr<SimulatedDevice>, int>
startDevice(const LpcsimCommandLine& commandLine) {
    // With several boards the main thread decides when the line ends.
    sparwick::sim::DeviceOptions deviceOptions = commandLine.deviceOptions();
    deviceOptions.exitAfterGo = deviceOptions.exitAfterGo && commandLine.boards() == 1;
    std::unique_ptr<SimulatedDevice> device;
    try {
        device = std::make_unique<SimulatedDevice>(deviceOptions);
    } catch (const std::invalid_argument& error) {
        std::cerr << "lpcsim: " << error.what() << "\n";
        return usageError;
    } catch (const std::exception& error) {
        std::cerr << "lpcsim: " << error.what() << "\n";
        return runError;
    }
    std::cout << "ready " << device->path() << std::endl;
    if (deviceOptions.pins) {
        std::cout << "preload " << pinBridgePath() << std::endl;
    }
    return device;
}

// A production line's boards on the one device: each is replaced by the next a moment
// after it has started its firmware, its flash dumped first.
class BoardLine {
public:
    BoardLine(const LpcsimCommandLine& line, SimulatedDevice& simulated)
        : commandLine(line)
        , device(simulated) {}

    // Looks whether the current board's time is up; false when the line has ended.
    bool carryOn() {
        if (commandLine.boards() == 1 || !device.runsFirmware()) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (startedFirmware == std::chrono::steady_clock::time_point{}) {
            startedFirmware = now;
            return true;
        }
        if (now - startedFirmware < boardChange) {
            return true;
        }
        if (board == commandLine.boards()) {
            return !commandLine.deviceOptions().exitAfterGo;
        }
        if (!dumpFlash(commandLine, board, device)) {
            failed = true;
        }
        device.replaceBoard();
        ++board;
        startedFirmware = {};
        return true;
    }

    std::uint32_t current() const { return board; }
    bool dumpFailed() const { return failed; }

private:
    const LpcsimCommandLine& commandLine;
    SimulatedDevice& device;
    std::uint32_t board = 1;
    // When the current board started its firmware; the epoch while it has not.
    std::chrono::steady_clock::time_point startedFirmware{};
    bool failed = false;
};

// Serves until a signal or the go ends it: SIGUSR1 power-cycles the device, SIGINT,
// SIGTERM and SIGHUP end it.
void serve(const LpcsimCommandLine& commandLine, SimulatedDevice& device, const sigset_t& signals,
           BoardLine& line) {
    const bool exitAfterGo = commandLine.deviceOptions().exitAfterGo;
    for (;;) {
        const timespec poll = {0, signalPollNanoseconds};
        const int signal = sigtimedwait(&signals, nullptr, &poll);
        if (signal == SIGUSR1) {
            device.powerCycle();
            continue;
        }
        if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) {
            break;
        }
        if (exitAfterGo && device.waitUntilStopped(std::chrono::milliseconds{0})) {
            break;
        }
        if (!line.carryOn()) {
            break;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const LpcsimCommandLine commandLine = LpcsimCommandLine::parse(args);
    if (const auto status = answeredWithoutDevice(commandLine)) {
        return *status;
    }
    const sigset_t signals = takeSignals();
    auto started = startDevice(commandLine);
    if (const int* status = std::get_if<int>(&started)) {
        return *status;
    }
    auto& device = std::get<std::unique_ptr<SimulatedDevice>>(started);
    BoardLine line(commandLine, *device);
    serve(commandLine, *device, signals, line);
    // The dump is complete before the link goes: whoever waits for the link to vanish
    // finds the whole flash.
    const bool dumped = dumpFlash(commandLine, line.current(), *device);
    device.reset();
    return dumped && !line.dumpFailed() ? 0 : runError;
}
