#pragma once

#include "flash/ProgressSink.h"
#include "flash/ReadBackRange.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace sparwick {

class FlashImage;
class UpdateContext;

// Reading the device's memory back with R, and the check of an update's flash against
// the image it was sent, over the exchanges of the update's context. Every failure ends
// the update with its message and UserAbort, as the other commands do.
class FlashReadBack {
public:
    explicit FlashReadBack(UpdateContext& context);

    // count bytes (a multiple of 4) of device memory from address (a multiple of 4) into
    // data: the status, then groups of uuencoded lines, each group's sum checked and
    // answered OK, or RESEND up to three times for the same lines.
    bool readFromFlash(std::uint32_t address, std::uint32_t count, std::uint8_t* data);

    // Reads back every byte of image that the device can show (ReadBackRange) and compares
    // it with the bytes that were sent; the first difference ends the update before the
    // go. Reports its progress to the sink's second phase. Returns what it checked.
    ReadBackRange verifyFlash(FlashImage& image, ProgressSink& progressSink);

private:
    // One group of lines and its sum into data: true when the lines were whole and their
    // sum is the device's.
    bool readGroup(std::uint8_t* data, std::uint32_t count);
    // The device's sum line; nothing when it is not a number.
    std::optional<std::uint32_t> readSum();
    // Up to wanted bytes of what the device streams, into buffer (room for wanted and a
    // terminator), in as many reads as it takes within the reply time-out: between the
    // bytes of a long reply the device may pause longer than one read waits for (a busy
    // host, a USB adapter's latency timer). untilLineFeed: a byte a read, up to and with
    // the line feed. Returns the bytes received; fewer than wanted at the time-out.
    std::uint32_t receive(char* buffer, std::uint32_t wanted, bool untilLineFeed);

    using Clock = std::chrono::steady_clock;

    UpdateContext& context;
};

} // namespace sparwick
