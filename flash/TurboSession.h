#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sparwick {

class UpdateContext;

// The turbo flasher from the host's side: loaded into the device's RAM with the boot
// loader's W and started with G, then spoken to in binary at its own rate (the protocol
// of stub/TurboProtocol.h). Each step either succeeds or shows its own message, which
// says that a power cycle into upgrade mode recovers the device, and ends the update
// with UserAbort.
class TurboSession {
public:
    explicit TurboSession(std::uint32_t baud);

    // Through the boot loader (unlocked): the flasher into RAM, G, the host's end of the
    // line to the flasher's rate, and the handshake, which gives the flasher the part's
    // user flash size (the ranges its CRCs may read).
    void start(UpdateContext& context, std::uint32_t flashSize);
    // The CRC-32 of each of count ranges of length bytes from flashAddress on.
    std::vector<std::uint32_t> sums(std::uint32_t flashAddress, std::uint32_t length,
                                    std::uint32_t count);
    void prepareAndErase(std::uint32_t firstSector, std::uint32_t lastSector);
    // One block into the flasher's RAM, deflated when that makes it smaller (sent again
    // if the flasher's CRC-32 of it fails or its stream does not inflate), its sector
    // prepared, and the copy to flashAddress.
    void writeBlock(std::uint32_t flashAddress, std::span<const std::uint8_t> block,
                    std::uint32_t sector);
    // The flash's CRC-32 over size bytes from flashAddress against the CRC-32 of what was
    // sent.
    void verify(std::uint32_t flashAddress, std::uint32_t size, std::uint32_t expectedCrc);
    // Starts the firmware at 0.
    void go();

    static std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);
    // The block as a raw deflate stream (zlib, level 9), padded with zeros to whole words
    // as the flasher takes it; empty when that is not smaller than the block.
    static std::vector<std::uint8_t> deflateBlock(std::span<const std::uint8_t> block);

private:
    struct Reply {
        bool complete = false;
        std::uint8_t status = 0;
        std::uint32_t value = 0;
    };

    // Sends a request; nothing read yet. A payload is followed by a CRC-32: payloadCrc,
    // or the payload's own.
    void send(std::uint8_t command, std::span<const std::uint32_t> args,
              std::span<const std::uint8_t> payload = {},
              std::optional<std::uint32_t> payloadCrc = std::nullopt);
    Reply receive(std::uint32_t timeoutMs);
    Reply request(std::uint8_t command, std::span<const std::uint32_t> args,
                  std::span<const std::uint8_t> payload = {}, std::uint32_t timeoutMs = 0);
    void require(const Reply& reply, const char* step);
    bool handshake(std::uint32_t flashSize);

    std::uint32_t baud;
};

} // namespace sparwick
