#pragma once

#include "flash/ReadBackRange.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sparwick {

class IspFlasher;

// How one update ended.
enum class UpdateEnd {
    passed,      // the firmware was written and started; the success message was shown
    failed,      // a step failed and showed its own message (UserAbort)
    fatal,       // anything else; "Fatal Error. Contract Norvane for assistance." was shown
    refused,     // the update was not begun: what it was given cannot be used
    interrupted, // a signal ended it part-way
};

// The steps of an update in the order it runs them: the one it was in when it ended
// says how far it got, and so what the device holds.
enum class UpdateStep {
    loading,       // the firmware image, before the port is opened
    synchronizing, // "?", the sync word and the crystal
    identifying,   // echo off, unlock, the part and its boot code; nothing written yet
    erasing,       // from here the device's flash is no longer what it was
    writing,
    verifying,
    starting, // the go
};

// The turbo flasher's steps, as the host runs them through it.
enum class TurboStep {
    none, // the update does not use the flasher, or had not started it
    loading,
    erasing,
    writing,
    verifying,
    starting,
};

// What a front end needs to say how an update ended and to decide what follows: its exit
// status, its event, its counts and record. The message is for people only.
struct UpdateOutcome {
    UpdateEnd end = UpdateEnd::fatal;
    UpdateStep step = UpdateStep::loading;
    TurboStep turboStep = TurboStep::none;
    // The messages the update showed, in order, on lines of their own.
    std::string message;
    // What a verifying update read back and found as sent; nothing when it did not get
    // that far.
    std::optional<ReadBackRange> verified;

    bool passed() const { return end == UpdateEnd::passed; }
    // Whether the device's flash may have been changed.
    bool touchedFlash() const { return step >= UpdateStep::erasing; }
};

// The words the outcome's values are written as (worker events, the record): "passed",
// "writing", ...; and back, nothing for a word that names none.
std::string_view wordOf(UpdateEnd end);
std::string_view wordOf(UpdateStep step);
std::string_view wordOf(TurboStep step);
std::optional<UpdateEnd> updateEndNamed(std::string_view word);
std::optional<UpdateStep> updateStepNamed(std::string_view word);
std::optional<TurboStep> turboStepNamed(std::string_view word);

// Runs one update with a flasher of its own and makes its outcome: whatever leaves the
// update becomes its end, so that the front end is ready for another attempt. update
// reads what it needs and calls flasher.program; the flasher is destroyed (the port closed,
// the image freed) before the fatal message is shown. Nothing escapes: an exception of any
// kind is the fatal case, rather than one that would unwind through a toolkit's message
// dispatch or end the program. The messages still go through the message box as they are
// shown; the outcome keeps a copy.
UpdateOutcome runUpdate(const std::function<void(IspFlasher& flasher)>& update);

} // namespace sparwick
