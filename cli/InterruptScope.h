#pragma once

#include <string_view>

namespace sparwick::cli {

// What the user reads when an update is ended by Ctrl-C, a kill or a hang-up.
inline constexpr std::string_view interruptedMessage =
    "Update interrupted: the device's flash is incomplete; put the device into software "
    "upgrade mode and run the update again.";

// While it lives, an interruption (SIGINT, SIGTERM, SIGHUP; Ctrl-C or a closed console
// on Windows) ends the update at once: nothing more is sent to the device, the port is
// released as it was found, interruptedMessage goes to standard error, and the process
// exits with 128 plus the signal's number (130, 143, 129), as shells report a program
// ended by that signal. A second interruption during that clean-up ends the process
// without waiting for it.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

} // namespace sparwick::cli
