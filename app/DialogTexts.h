#pragma once

#include "flash/UpdateOptions.h"

#include <string_view>

// Texts of the dialogs that the dialog programs of every platform show alike.
namespace sparwick::app::text {

// The progress dialog's message while an update reads the flash back.
inline constexpr std::string_view verifying = "Verifying the flash. Please wait...";

// The About box's notice line: which of the opt-in choices this program's updates make,
// so that a technician can tell; the plain update keeps the copyright.
inline constexpr std::string_view aboutNotice(const UpdateOptions& options) {
    // By fast, verify and reset, one bit each.
    constexpr std::string_view notices[] = {
        "Copyright (C) 2026 Sparwick",
        "Fast updates",
        "Verified updates",
        "Fast, verified updates",
        "Updates with board reset",
        "Fast updates, board reset",
        "Verified updates, board reset",
        "Fast, verified, board reset",
    };
    return notices[(options.fast ? 1 : 0) + (options.verify ? 2 : 0) + (options.reset ? 4 : 0)];
}

} // namespace sparwick::app::text
