#pragma once

#include "flash/UpdateOptions.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sparwick::app {

// How a dialog program's options are written: --fast everywhere, and on Windows /fast as
// well, in any case, as Windows programs take their switches.
enum class OptionStyle { posix, windows };

// What the dialog programs take on their command line: --fast, --verify and --reset (the
// board reset through DTR and RTS, wired dtr-rts, or --reset=WIRING), each switching on what
// the build may have switched on already. Nothing switches a built-in choice off.
struct DialogCommandLine {
    UpdateOptions options;
    // The first argument not understood, if any.
    std::optional<std::string> unknown;
};

DialogCommandLine parseDialogCommandLine(std::span<const std::string> arguments,
                                         const UpdateOptions& builtIn, OptionStyle style);

// The choices the vendor built the dialog program with (SPARWICK_FAST, SPARWICK_VERIFY,
// SPARWICK_RESET).
UpdateOptions builtInOptions();

// What the program says about an argument it does not know.
std::string usageMessage(std::string_view unknown, OptionStyle style);

} // namespace sparwick::app
