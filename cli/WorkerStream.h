#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sparwick::cli {

// What a worker (sparwick-cli --worker, one board on one port) tells its supervisor on its
// standard output: one event a line, a word and its value. A message is escaped so that
// its line ends and tabs stay within the one line.
struct WorkerEvent {
    enum class Kind {
        answered, // a board answered "?": its update begins
        progress, // number: percent of the writing
        verify,   // number: percent of the read-back
        message,  // text: the message the update ended with (or a line after it)
        part,     // number: the part's identification
        bootCode, // text: "major.minor"
        written,  // number: bytes copied to flash
        verified, // number: bytes read back and found as sent
    };
    Kind kind = Kind::progress;
    std::uint32_t number = 0;
    std::string text;
};

std::string formatEvent(const WorkerEvent& event);
// Nothing for a line that is not an event: a worker's stray output is shown as it is.
std::optional<WorkerEvent> parseEvent(std::string_view line);

} // namespace sparwick::cli
