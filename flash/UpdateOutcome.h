#pragma once

#include <functional>

namespace sparwick {

// How one update ended, for every front end to tell its user in its own way.
enum class UpdateOutcome {
    succeeded, // the update returned; its success message has been shown
    aborted,   // it failed after showing its own message (UserAbort): nothing more to say
    fatal,     // anything else; "Fatal Error. Contract Norvane for assistance." has been shown
};

// Runs an update and turns whatever leaves it into the end of that update, so that the
// front end is ready for another attempt or can say how the run ended. The update owns
// its flasher, so the port is closed and the image freed before the fatal message is
// shown. Nothing escapes: an exception of any kind is the fatal case, rather than one that
// would unwind through a toolkit's message dispatch or end the program.
UpdateOutcome runUpdate(const std::function<void()>& update);

} // namespace sparwick
