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
    if (options.fast && options.verify) {
        return "Fast, verified updates";
    }
    if (options.fast) {
        return "Fast updates";
    }
    if (options.verify) {
        return "Verified updates";
    }
    return "Copyright (C) 2026 Sparwick";
}

} // namespace sparwick::app::text
