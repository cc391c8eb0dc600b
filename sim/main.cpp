#include "sim/LpcsimCommandLine.h"
#include "sim/SimulatedDevice.h"

#include <SparwickVersion.h>
#include <csignal>
#include <ctime>
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

bool writeFlash(const std::string& path, const std::vector<std::uint8_t>& flash) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(flash.data()),
               static_cast<std::streamsize>(flash.size()));
    file.close();
    return static_cast<bool>(file);
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

    std::optional<SimulatedDevice> device;
    try {
        device.emplace(commandLine.deviceOptions());
    } catch (const std::invalid_argument& error) {
        std::cerr << "lpcsim: " << error.what() << "\n";
        return usageError;
    } catch (const std::exception& error) {
        std::cerr << "lpcsim: " << error.what() << "\n";
        return runError;
    }
    std::cout << "ready " << device->path() << std::endl;

    const bool exitAfterGo = commandLine.deviceOptions().exitAfterGo;
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
    }

    // The dump is complete before the link goes: whoever waits for the link to vanish
    // finds the whole flash.
    int status = 0;
    if (!commandLine.flashOutPath().empty() &&
        !writeFlash(commandLine.flashOutPath(), device->flash())) {
        std::cerr << "lpcsim: cannot write --flash-out " << commandLine.flashOutPath() << "\n";
        status = runError;
    }
    device.reset();
    return status;
}
