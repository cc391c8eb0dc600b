#include "cli/WorkerStream.h"

#include <array>
#include <charconv>
#include <utility>

namespace sparwick::cli {
namespace {

using Kind = WorkerEvent::Kind;

struct EventName {
    Kind kind;
    std::string_view word;
    bool numeric;
};

constexpr std::array<EventName, 8> eventNames{{
    {Kind::answered, "answered", false},
    {Kind::progress, "progress", true},
    {Kind::verify, "verify", true},
    {Kind::message, "message", false},
    {Kind::part, "part", true},
    {Kind::bootCode, "boot-code", false},
    {Kind::written, "written", true},
    {Kind::verified, "verified", true},
}};

// The two characters after the backslash that stand for a character the line cannot hold.
constexpr std::array<std::pair<char, char>, 4> escapes{{
    {'\\', '\\'},
    {'\n', 'n'},
    {'\r', 'r'},
    {'\t', 't'},
}};

std::string escape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        bool escaped = false;
        for (const auto& [plain, letter] : escapes) {
            if (c == plain) {
                out += '\\';
                out += letter;
                escaped = true;
            }
        }
        if (!escaped) {
            out += c;
        }
    }
    return out;
}

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            for (const auto& [plain, letter] : escapes) {
                if (text[i + 1] == letter) {
                    c = plain;
                    ++i;
                    break;
                }
            }
        }
        out += c;
    }
    return out;
}

} // namespace

std::string formatEvent(const WorkerEvent& event) {
    for (const EventName& name : eventNames) {
        if (name.kind == event.kind) {
            std::string line = "@" + std::string(name.word);
            if (name.numeric) {
                line += " " + std::to_string(event.number);
            } else if (!event.text.empty()) {
                line += " " + escape(event.text);
            }
            return line;
        }
    }
    return {};
}

std::optional<WorkerEvent> parseEvent(std::string_view line) {
    if (!line.starts_with('@')) {
        return std::nullopt;
    }
    line.remove_prefix(1);
    const std::size_t space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    const std::string_view value =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    for (const EventName& name : eventNames) {
        if (name.word != word) {
            continue;
        }
        WorkerEvent event;
        event.kind = name.kind;
        if (name.numeric) {
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), event.number);
            if (error != std::errc() || end != value.data() + value.size()) {
                return std::nullopt;
            }
        } else {
            event.text = unescape(value);
        }
        return event;
    }
    return std::nullopt;
}

} // namespace sparwick::cli
