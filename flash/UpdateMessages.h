#pragma once

#include <string_view>

// Every message an update can end with, as the user reads it.
namespace sparwick::msg {

inline constexpr std::string_view success = "Software successfully upgraded!";
inline constexpr std::string_view fatalError = "Fatal Error. Contract Norvane for assistance.";

inline constexpr std::string_view couldNotExtractImage =
    "Software upgrade failed. Could not extract flash image.";
inline constexpr std::string_view couldNotLoadImage =
    "Software upgrade failed. Could not load flash image.";
inline constexpr std::string_view couldNotLockImage =
    "Software upgrade failed. Could not lock flash image.";

inline constexpr std::string_view noDevice =
    "Software upgrade failed. Could not communicate with the device. Please check the "
    "following:\n\t1. Ensure you have selected the correct COM port.\n\t2. Ensure the device "
    "is plugged in to the PC.\n\t3. Ensure the device has be put into software upgrade "
    "mode.\n\t4. If a previous attempt failed, remove power from device and enter software "
    "upgrade mode again.";
inline constexpr std::string_view couldNotCommunicate =
    "Software upgrade failed. Could not communicate with the device.";
inline constexpr std::string_view syncFailure =
    "Software upgrade failed. Synnchronization failure.";
inline constexpr std::string_view clockFailure =
    "Software upgrade failed. Clock frequency could not be set.";
inline constexpr std::string_view echoFailure = "Software upgrade failed. Could not turn off echo.";
inline constexpr std::string_view unlockFailure =
    "Software upgrade failed. Could not unlock device.";
inline constexpr std::string_view partIdInvalid = "Software upgrade failed. Part id invalid.";

inline constexpr std::string_view invalidPrepareSector =
    "Software upgrade failed. Invalid prepare sector.";
inline constexpr std::string_view sectorCommandFailed =
    "Software upgrade failed. Could not execute sector command.";
inline constexpr std::string_view writeToRamFailed =
    "Software upgrade failed. Failed to write to RAM.";
inline constexpr std::string_view checksumFailed = "Software upgrade failed. Failed checksum.";
inline constexpr std::string_view copyFailed = "Software upgrade failed. Failed copy RAM to flash.";
inline constexpr std::string_view goFailed = "Software upgrade failed. Failed to go to address.";

// The read-back before the go, when the update verifies. A difference is followed, on a
// line of its own, by where it is and what was read there.
inline constexpr std::string_view verifyFailed = "Software upgrade failed. Flash verify failed.";
inline constexpr std::string_view readFailed = "Software upgrade failed. Failed to read flash.";
inline constexpr std::string_view readChecksumFailed =
    "Software upgrade failed. Failed checksum of flash read.";

// The turbo flasher's steps: the prefix, the step and what went wrong, then how to
// recover, since the device may be left running the flasher.
inline constexpr std::string_view turboFailedPrefix = "Software upgrade failed. Turbo flasher: ";
inline constexpr std::string_view turboRecovery =
    "Remove power from the device and enter software upgrade mode again.";
// An update through the turbo flasher that found every block already in the flash: a
// line before the success message, nothing erased or written.
inline constexpr std::string_view alreadyCurrent =
    "The device already holds this firmware: nothing erased or written.";

// A reset through the adapter's modem lines: the port has none (after its name), and how
// a failed update with the reset is recovered.
inline constexpr std::string_view noModemLines =
    " has no modem lines (DTR and RTS) to reset the board with: use an adapter that has "
    "them, or put the board into software upgrade mode by hand and update without --reset.";
inline constexpr std::string_view resetRecovery =
    "The board's RESET and P0.14 have been let go: run the update again with --reset to reset "
    "it into software upgrade mode; no power cycle is needed.";

// The part's code read protection refused a command: after the step's own message where
// the update chose to go beyond the specified one; and when the protection survived the
// erase and the reset that should have removed it.
inline constexpr std::string_view protectionNamed =
    " The device's code read protection refuses the command: update it with --reset, which "
    "erases the whole flash and resets the device, or erase it by other means.";
inline constexpr std::string_view protectionRefusesCheck =
    "The device's code read protection refuses the check: its flash cannot be read or compared "
    "without erasing it.";
inline constexpr std::string_view protectionStays =
    "Software upgrade failed. The device's code read protection stays on after the whole "
    "flash was erased and the device reset.";

} // namespace sparwick::msg
