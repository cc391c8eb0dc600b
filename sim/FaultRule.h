#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sparwick::sim {

// The exchanges at which a fault can be injected: the reply to "?", to the sync word, to
// the crystal frequency, and to the commands A, U, J, P, E, I, W, C, R and G; data-checksum
// is the reply to a checksum line after W data; read-checksum is the sum line that ends
// each group of lines R sends (again after each RESEND); flasher-block is a data block that
// code in RAM receives from the host (a D request of the turbo flasher's protocol).
enum class FaultStep {
    sync,
    syncWord,
    crystal,
    echo,
    unlock,
    partId,
    prepare,
    erase,
    blankCheck,
    write,
    dataChecksum,
    copy,
    read,
    readChecksum,
    go,
    dataLine,
    flasherBlock,
};

// What happens to the exchange's reply (its echo included, while echo is on).
enum class FaultAction {
    silent,   // no reply at all; the command is carried out
    truncate, // the reply without its last byte
    garble,   // the reply's first byte after the echo changed; for flasher-block, the
              // block's first byte changed on its way in, so that its CRC-32 fails
    extra,    // one byte more
    status,   // that status code instead; the command is not carried out
    resend,   // data-checksum only: RESEND although the checksum matched
    hangup,   // the pty closes before the command is carried out; the device comes back
              // power-cycled on a new pty behind the same link
    drop,     // data-line only: bytes of the line after its length character never reach
              // the boot loader (the line end always does)
    corrupt,  // copy only: the copy answers 0, but one bit of the byte in the middle of the
              // flash it wrote (2048 bytes into a copy of 4096) is flipped
};

// STEP[#N]=ACTION: the action at the N-th occurrence of the step (counted from 1 over the
// device's life, power cycles included), once. data-line and flasher-block without #N pick
// every occurrence.
struct FaultRule {
    // The occurrence of a rule that applies to every occurrence of its step.
    static constexpr std::uint32_t everyOccurrence = 0;

    FaultStep step = FaultStep::sync;
    std::uint32_t occurrence = 1;
    FaultAction action = FaultAction::silent;
    std::uint32_t status = 0;    // for FaultAction::status
    std::uint32_t dropBytes = 0; // for FaultAction::drop

    bool operator==(const FaultRule&) const = default;
};

// Parses STEP[#N]=ACTION, where ACTION is silent, short, garble, extra, status:N, resend,
// hangup or corrupt, or for data-line drop:K; flasher-block takes garble only. On failure, error
// (when given) says what is wrong.
std::optional<FaultRule> parseFaultRule(std::string_view text, std::string* error = nullptr);
// The rule as the parser reads it.
std::string describeFaultRule(const FaultRule& rule);
std::string_view faultStepName(FaultStep step);

} // namespace sparwick::sim
