#pragma once

#include "serial/SerialSystem.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sparwick {

// How a serial adapter's DTR and RTS reach the board's RESET and P0.14 (the pin the boot
// loader samples at reset: low enters ISP mode). Without inverting, an asserted line is a
// low pin, as on an adapter's TTL outputs or behind one NPN transistor per line.
struct ResetWiring {
    bool resetOnDtr = true; // DTR drives RESET and RTS drives P0.14; false: the other way
    bool invert = false;    // an asserted line is a high pin

    // "dtr-rts" or "rts-dtr", each with an optional ",invert"; nothing for any other text.
    static std::optional<ResetWiring> parse(std::string_view text);
    std::string text() const;

    // The lines that put RESET and P0.14 at these levels (true: the pin is low).
    serialsys::ModemLines lines(bool resetLow, bool ispLow) const;
    // Both pins high: the board runs and nothing holds P0.14.
    serialsys::ModemLines released() const { return lines(false, false); }

    bool operator==(const ResetWiring&) const = default;
};

// How long each step of the reset lasts. The wait after RESET's release covers a reset
// supervisor chip, which holds the part in reset 140 to 280 ms after its input rises.
struct ResetTimings {
    std::uint32_t holdMs = 100; // RESET low (with P0.14 low into ISP mode)
    std::uint32_t waitMs = 300; // from RESET's release to the first "?"
};

// What the end of a successful update does with the board.
enum class AfterUpdate {
    go,    // G 0 A: the boot loader starts the new firmware
    reset, // a RESET pulse with P0.14 high: the firmware starts as from power-on
    stay,  // nothing: the boot loader waits
};

// "go", "reset" or "stay", as the command line writes them.
std::string_view afterUpdateName(AfterUpdate after);
std::optional<AfterUpdate> parseAfterUpdate(std::string_view text);

} // namespace sparwick
