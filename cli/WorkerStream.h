#pragma once

#include "flash/UpdateOutcome.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sparwick::cli {

// What a worker (sparwick-cli --worker, one board on one port) tells its supervisor on its
// standard output: one event a line, a word and its value. A message is escaped so that
// its line ends and tabs stay within the one line.
struct WorkerEvent {
    enum class Kind {
        answered, // a board answered "?": its update begins
        step,     // text: the step the update moved on to (wordOf(UpdateStep))
        progress, // number: percent of the writing
        verify,   // number: percent of the read-back
        message,  // text: a line for people after the outcome (what a verify checked)
        part,     // number: the part's identification
        bootCode, // text: "major.minor"
        written,  // number: bytes copied to flash
        verified, // number: bytes read back and found as sent
        outcome,  // outcome: how the update ended, its step and its message
        checked,  // blocks: a check's finding, the offsets of the blocks that differ (none:
                  // the board holds the image)
    };
    Kind kind = Kind::progress;
    std::uint32_t number = 0;
    std::string text;
    UpdateOutcome outcome = {};
    std::vector<std::uint32_t> blocks = {};
};

WorkerEvent outcomeEvent(const UpdateOutcome& outcome);

std::string formatEvent(const WorkerEvent& event);
// Nothing for a line that is not an event: a worker's stray output is shown as it is.
std::optional<WorkerEvent> parseEvent(std::string_view line);

} // namespace sparwick::cli
