#pragma once

#include "flash/ProgressSink.h"
#include "flash/ReadBackRange.h"
#include "flash/UpdateOptions.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sparwick::test {

// How one update ended, as the user saw it.
struct UpdateOutcome {
    bool succeeded = false;
    std::vector<std::string> messages;
    std::vector<int> progress;
    bool fatal = false; // ended by a framework error rather than a message
    std::vector<int> verifyProgress;
    std::optional<ReadBackRange> verified;
    // Lines for the person watching, beside the progress.
    std::vector<std::string> notes;
};

// Runs one whole update with the engine's own IspFlasher on portName, as the dialog's
// button does, with image standing in for the firmware the program carries (or the
// linked firmware when image is null), and the choices in options.
UpdateOutcome runUpdate(const std::string& portName, bool highSpeed,
                        const std::vector<std::uint8_t>* image = nullptr,
                        const UpdateOptions& options = {});

// The linked firmware image's bytes.
std::span<const std::uint8_t> shippedImage();

// What a device's flash of flashSize bytes must hold after image was written: the image
// with its vector checksum set, erased bytes after it.
std::vector<std::uint8_t> expectedFlash(std::span<const std::uint8_t> image, std::size_t flashSize);

// The first offset where two flash contents differ, or -1; for readable failures.
long firstDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// Terminals this process has open now: the port, and the ends of a simulated device's
// pseudo-terminal. Only these are counted, because other descriptors come and go beside an
// update on threads of their own (the sanitizer's runtime opens and closes pipes), and a
// leaked port is a terminal.
std::size_t openTerminalCount();

} // namespace sparwick::test
