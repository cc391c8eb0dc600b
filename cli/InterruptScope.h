#pragma once

#include <string>
#include <string_view>

namespace sparwick::cli {

// What the user reads when an update is ended by Ctrl-C, a kill or a hang-up.
inline constexpr std::string_view interruptedMessage =
    "Update interrupted: the device's flash is incomplete; put the device into software "
    "upgrade mode and run the update again.";

// While it lives, an interruption (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl-C or a closed console
// on Windows) ends the update at once: nothing more is sent to the device, the port is
// released as it was found, interruptedMessage goes to standard error, and the process
// exits with 128 plus the signal's number (130, 143, 129, 131), as shells report a program
// ended by that signal. A second interruption during that clean-up ends the process
// without waiting for it.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// While it lives, an interruption also removes this link and the directory that holds it:
// the simulated device's, made for one run in the temporary directory, which the process
// would otherwise leave behind when it ends in the middle of the update. A path too long
// to keep is not removed. POSIX builds only, as the simulated device is.
class RemovedOnInterrupt {
public:
    explicit RemovedOnInterrupt(const std::string& link);
    ~RemovedOnInterrupt();
    RemovedOnInterrupt(const RemovedOnInterrupt&) = delete;
    RemovedOnInterrupt& operator=(const RemovedOnInterrupt&) = delete;
};

} // namespace sparwick::cli
