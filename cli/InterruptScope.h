#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sparwick::cli {

// What the user reads when an update is ended by Ctrl-C, a kill or a hang-up.
inline constexpr std::string_view interruptedMessage =
    "Update interrupted: the device's flash is incomplete; put the device into software "
    "upgrade mode and run the update again.";
// The same for a check, which writes nothing.
inline constexpr std::string_view checkInterruptedMessage =
    "Check interrupted: nothing was written; the device's flash is as it was.";

// While it lives, an interruption (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl-C or a closed console
// on Windows) ends the update at once: nothing more is sent to the device, the port is
// released as it was found, message (interruptedMessage) goes to standard error, and the process
// exits with 128 plus the signal's number (130, 143, 129, 131), as shells report a program
// ended by that signal. A second interruption during that clean-up ends the process
// without waiting for it.
class InterruptScope {
public:
    // message lives as long as the program (a constant).
    explicit InterruptScope(std::string_view message = interruptedMessage);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// The simulated device's link and the directory made for it in the temporary directory,
// removed on every way out of the run: at its end, and at an interruption at any moment
// of it, which would otherwise end the process and leave them behind. Inside the update
// InterruptScope removes them too and says the update was interrupted; elsewhere (the
// device being started, a line waiting on a stopped terminal or a full pipe, the check
// after the update) the process then ends by the signal, as it would without a device.
// POSIX builds only, as the simulated device is.
class RemovedOnInterrupt {
public:
    // From here interruptions are held back until name(): the directory is made in
    // between, and a Ctrl-C then waits until there is something to remove.
    RemovedOnInterrupt();
    ~RemovedOnInterrupt();
    RemovedOnInterrupt(const RemovedOnInterrupt&) = delete;
    RemovedOnInterrupt& operator=(const RemovedOnInterrupt&) = delete;

    // The directory made for the device, and the link to be made in it (each longestPath
    // at most; empty when nothing was made); lets interruptions through.
    void name(const std::string& directory, const std::string& link);

    static constexpr std::size_t longestPath = 4095;
};

} // namespace sparwick::cli
