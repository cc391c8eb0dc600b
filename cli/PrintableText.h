#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace sparwick::cli {

// Text from the user or the environment (a port's path, TMPDIR) as one line of a message:
// control characters, which would break the line or drive the terminal, are written as
// C escapes (\n, \t, \r, \x1b); everything else stays as given.
inline std::string printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

} // namespace sparwick::cli
