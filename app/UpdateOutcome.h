#pragma once

#include <functional>

namespace sparwick::app {

// How one press of "Update Software" ended.
enum class UpdateOutcome {
    succeeded, // the update returned; its success message has been shown
    aborted,   // it failed after showing its own message (UserAbort): nothing more to say
    fatal,     // anything else; "Fatal Error. Contract Norvane for assistance." has been shown
};

// Runs an update and turns whatever leaves it into the end of that update, so that the
// dialog is ready for another attempt. The update owns its flasher, so the port is closed
// and the image freed before the fatal message is shown. Nothing escapes: an exception of
// any kind is the fatal case, rather than one that would unwind through the toolkit's
// message dispatch and end the program.
UpdateOutcome runUpdate(const std::function<void()>& update);

} // namespace sparwick::app
