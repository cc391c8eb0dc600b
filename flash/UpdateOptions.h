#pragma once

#include "flash/ResetWiring.h"
#include "stub/TurboProtocol.h"

#include <cstdint>
#include <optional>

namespace sparwick {

// Choices beyond the port and the speed that change how an update talks to the device.
// The default is the update the dialog runs, byte for byte; each choice is opt-in.
struct UpdateOptions {
    // Data lines go out back to back, paced only by the line and the device's XOFF/XON;
    // the checksum after every 20 lines guards them, and a RESEND has them sent again
    // with the speed's pause after each line.
    bool fast = false;
    // After the last block is in flash and before the go, read back every byte written
    // and compare it with the image as it was sent.
    bool verify = false;
    // Instead of one "?", send "?" every isp::probeIntervalMs until a freshly reset boot
    // loader answers it, and nothing else before that: a station waiting for its next board.
    bool awaitBoard = false;
    // After the handshake, ask the boot loader for its boot code version (K), for a record
    // of the board.
    bool readBootCode = false;
    // After the handshake, the image goes through the turbo flasher: loaded into the
    // device's RAM and started there, it takes the blocks in binary at turboBaud with a
    // CRC-32 each, and the verify (with verify) is a CRC-32 of the flash. The flasher
    // itself goes into RAM as with fast.
    bool turbo = false;
    std::uint32_t turboBaud = turbo::defaultBaud; // one of turbo::lineRates
    // The line's rate in baud in place of the speed's (115200 or 19200), the rest of the
    // line settings unchanged. The pause after each data line is then the high speed's
    // above the low speed's rate, the low speed's at it and below.
    std::optional<std::uint32_t> baudRate = std::nullopt;
    // The board's RESET and P0.14 driven through DTR and RTS: reset into ISP mode before the
    // handshake (again when the boot loader does not answer), and released on every way
    // out. The port must have modem lines.
    std::optional<ResetWiring> reset = std::nullopt;
    ResetTimings resetTimings = {};
    // The end of a successful update; unset: reset with a wiring, else go.
    std::optional<AfterUpdate> after = std::nullopt;

    AfterUpdate afterUpdate() const {
        return after.value_or(reset ? AfterUpdate::reset : AfterUpdate::go);
    }
};

} // namespace sparwick
