#include "sim/LpcsimCommandLine.h"
#include "sim/SimulatedDevice.h"

#include <SparwickVersion.h>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
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

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const LpcsimCommandLine commandLine = LpcsimCommandLine::parse(args);
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

    // The signals are taken one at a time by the main thread; the device's thread, made
    // after this, inherits the mask and never sees them.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // With several boards the main thread decides when the line ends.
    const std::uint32_t boards = commandLine.boards();
    sparwick::sim::DeviceOptions deviceOptions = commandLine.deviceOptions();
    deviceOptions.exitAfterGo = deviceOptions.exitAfterGo && boards == 1;
    std::optional<SimulatedDevice> device;
    try {
        device.emplace(deviceOptions);
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

    const bool exitAfterGo = commandLine.deviceOptions().exitAfterGo;
    std::uint32_t board = 1;
    // When the current board started its firmware; the epoch while it has not.
    std::chrono::steady_clock::time_point startedFirmware{};
    int status = 0;
    for (;;) {
        const timespec poll = {0, signalPollNanoseconds};
        const int signal = sigtimedwait(&signals, nullptr, &poll);
        if (signal == SIGUSR1) {
            device->powerCycle();
            continue;
        }
        if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) {
            break;
        }
        if (exitAfterGo && device->waitUntilStopped(std::chrono::milliseconds{0})) {
            break;
        }
        if (boards > 1 && device->runsFirmware()) {
            const auto now = std::chrono::steady_clock::now();
            if (startedFirmware == std::chrono::steady_clock::time_point{}) {
                startedFirmware = now;
            } else if (now - startedFirmware >= boardChange) {
                if (exitAfterGo && board == boards) {
                    break;
                }
                if (board < boards) {
                    if (!commandLine.flashOutPath().empty() &&
                        !writeFlash(commandLine.flashOutPath(board), device->flash())) {
                        std::cerr << "lpcsim: cannot write --flash-out "
                                  << commandLine.flashOutPath(board) << "\n";
                        status = runError;
                    }
                    device->replaceBoard();
                    ++board;
                    startedFirmware = {};
                }
            }
        }
    }

    // The dump is complete before the link goes: whoever waits for the link to vanish
    // finds the whole flash.
    if (!commandLine.flashOutPath().empty() &&
        !writeFlash(commandLine.flashOutPath(board), device->flash())) {
        std::cerr << "lpcsim: cannot write --flash-out " << commandLine.flashOutPath(board) << "\n";
        status = runError;
    }
    device.reset();
    return status;
}
