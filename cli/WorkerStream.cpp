#include "cli/WorkerStream.h"

#include <algorithm>
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

constexpr std::array<EventName, 11> eventNames{{
    {Kind::answered, "answered", false},
    {Kind::step, "step", false},
    {Kind::progress, "progress", true},
    {Kind::verify, "verify", true},
    {Kind::message, "message", false},
    {Kind::part, "part", true},
    {Kind::bootCode, "boot-code", false},
    {Kind::written, "written", true},
    {Kind::verified, "verified", true},
    {Kind::outcome, "outcome", false},
    {Kind::checked, "checked", false},
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

// "failed writing none" and the message: the words of wordOf, then the text.
std::string formatOutcome(const UpdateOutcome& outcome) {
    return std::string(wordOf(outcome.end)) + " " + std::string(wordOf(outcome.step)) + " " +
           std::string(wordOf(outcome.turboStep)) + " " + escape(outcome.message);
}

std::optional<UpdateOutcome> parseOutcome(std::string_view value) {
    std::array<std::string_view, 3> words;
    for (std::string_view& word : words) {
        const std::size_t space = value.find(' ');
        if (space == std::string_view::npos) {
            return std::nullopt;
        }
        word = value.substr(0, space);
        value.remove_prefix(space + 1);
    }
    const auto end = updateEndNamed(words[0]);
    const auto step = updateStepNamed(words[1]);
    const auto turboStep = turboStepNamed(words[2]);
    if (!end || !step || !turboStep) {
        return std::nullopt;
    }
    return UpdateOutcome{*end, *step, *turboStep, unescape(value), std::nullopt};
}

// "20480 24576": decimal offsets, each after one space.
std::optional<std::vector<std::uint32_t>> parseBlocks(std::string_view value) {
    std::vector<std::uint32_t> blocks;
    while (!value.empty()) {
        const std::size_t space = std::min(value.find(' '), value.size());
        std::uint32_t offset = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + space, offset);
        if (error != std::errc() || end != value.data() + space || space == 0) {
            return std::nullopt;
        }
        blocks.push_back(offset);
        value.remove_prefix(std::min(space + 1, value.size()));
    }
    return blocks;
}

} // namespace

WorkerEvent outcomeEvent(const UpdateOutcome& outcome) {
    WorkerEvent event;
    event.kind = Kind::outcome;
    event.outcome = outcome;
    return event;
}

std::string formatEvent(const WorkerEvent& event) {
    for (const EventName& name : eventNames) {
        if (name.kind == event.kind) {
            std::string line = "@" + std::string(name.word);
            if (name.kind == Kind::outcome) {
                line += " " + formatOutcome(event.outcome);
            } else if (name.kind == Kind::checked) {
                for (const std::uint32_t offset : event.blocks) {
                    line += " " + std::to_string(offset);
                }
            } else if (name.numeric) {
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
        if (name.kind == Kind::outcome) {
            const auto outcome = parseOutcome(value);
            if (!outcome) {
                return std::nullopt;
            }
            event.outcome = *outcome;
        } else if (name.kind == Kind::checked) {
            auto blocks = parseBlocks(value);
            if (!blocks) {
                return std::nullopt;
            }
            event.blocks = std::move(*blocks);
        } else if (name.numeric) {
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
