#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sparwick::app {

// One string that a dialog's initial data adds to one of its list controls.
struct DialogInitEntry {
    int controlId = 0;
    // The 16-bit message the resource names for it (add to a combo box, add to a list box).
    int message = 0;
    std::string text;

    bool operator==(const DialogInitEntry&) const = default;
};

// Reads a dialog's initial data as the resource compiler lays it out: entries of a 16-bit
// control id, a 16-bit message, a 32-bit length and that many bytes holding the string
// up to its first zero, all little-endian and unaligned, ended by a zero control id or by
// the end of the data. Data that breaks off inside an entry raises
// InvalidArgumentError rather than yielding a string made up of what follows it.
std::vector<DialogInitEntry> parseDialogInitData(std::span<const std::uint8_t> bytes);

} // namespace sparwick::app
