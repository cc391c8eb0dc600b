#include "app/DialogCommandLine.h"

#include <algorithm>
#include <cctype>

namespace sparwick::app {
namespace {

bool sameLetters(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

bool names(std::string_view argument, std::string_view option, OptionStyle style) {
    if (argument == std::string("--").append(option)) {
        return true;
    }
    return style == OptionStyle::windows && argument.starts_with('/') &&
           sameLetters(argument.substr(1), option);
}

// "--reset=WIRING", or on Windows "/reset:WIRING" as well.
std::optional<ResetWiring> wiringOf(std::string_view argument, OptionStyle style) {
    constexpr std::string_view posixPrefix = "--reset=";
    constexpr std::string_view windowsPrefix = "/reset:";
    if (argument.starts_with(posixPrefix)) {
        return ResetWiring::parse(argument.substr(posixPrefix.size()));
    }
    if (style == OptionStyle::windows && argument.size() > windowsPrefix.size() &&
        sameLetters(argument.substr(0, windowsPrefix.size()), windowsPrefix)) {
        return ResetWiring::parse(argument.substr(windowsPrefix.size()));
    }
    return std::nullopt;
}

} // namespace

DialogCommandLine parseDialogCommandLine(std::span<const std::string> arguments,
                                         const UpdateOptions& builtIn, OptionStyle style) {
    DialogCommandLine line{builtIn, std::nullopt};
    for (const std::string& argument : arguments) {
        if (names(argument, "fast", style)) {
            line.options.fast = true;
        } else if (names(argument, "verify", style)) {
            line.options.verify = true;
        } else if (names(argument, "reset", style)) {
            line.options.reset = ResetWiring{};
        } else if (const auto wiring = wiringOf(argument, style)) {
            line.options.reset = *wiring;
        } else {
            line.unknown = argument;
            break;
        }
    }
    return line;
}

UpdateOptions builtInOptions() {
    return UpdateOptions{.fast = SPARWICK_BUILT_IN_FAST != 0,
                         .verify = SPARWICK_BUILT_IN_VERIFY != 0,
                         .reset = ResetWiring::parse(SPARWICK_BUILT_IN_RESET)};
}

std::string usageMessage(std::string_view unknown, OptionStyle style) {
    std::string text = "sparwick: unknown option: \"";
    text.append(unknown);
    text += '"';
    text += style == OptionStyle::windows
                ? "\nusage: sparwick [/fast] [/verify] [/reset[:WIRING]]"
                : "\nusage: sparwick [--fast] [--verify] [--reset[=WIRING]]";
    return text;
}

} // namespace sparwick::app
