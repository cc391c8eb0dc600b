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

} // namespace

DialogCommandLine parseDialogCommandLine(std::span<const std::string> arguments,
                                         const UpdateOptions& builtIn, OptionStyle style) {
    DialogCommandLine line{builtIn, std::nullopt};
    for (const std::string& argument : arguments) {
        if (names(argument, "fast", style)) {
            line.options.fast = true;
        } else if (names(argument, "verify", style)) {
            line.options.verify = true;
        } else {
            line.unknown = argument;
            break;
        }
    }
    return line;
}

UpdateOptions builtInOptions() {
    return UpdateOptions{.fast = SPARWICK_BUILT_IN_FAST != 0,
                         .verify = SPARWICK_BUILT_IN_VERIFY != 0};
}

std::string usageMessage(std::string_view unknown, OptionStyle style) {
    std::string text = "sparwick: unknown option: \"";
    text.append(unknown);
    text += '"';
    text += style == OptionStyle::windows ? "\nusage: sparwick [/fast] [/verify]"
                                          : "\nusage: sparwick [--fast] [--verify]";
    return text;
}

} // namespace sparwick::app
