#pragma once

#include "../sim/IspTestClient.h"
#include "stub/TurboProtocol.h"

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sparwick::sim::test {

// The turbo flasher's protocol from the host's side, over the simulator's link: loads the
// flasher through the boot loader, then speaks binary to it. Every read has a deadline.
class TurboTestClient {
public:
    struct Reply {
        // Nothing, or fewer than five bytes, came back in time.
        bool complete = false;
        turbo::Status status = turbo::Status::ok;
        std::uint32_t value = 0;
    };

    explicit TurboTestClient(IspTestClient& isp)
        : line(isp) {}

    // Unlocks, writes the flasher to RAM (with the divisor patched in) and starts it;
    // false when the boot loader refuses any of it.
    bool load(std::uint32_t divisor = turbo::defaultDivisor);
    Reply request(turbo::Command command, std::initializer_list<std::uint32_t> args,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds{2000});
    // The handshake, for a part with 512000 bytes of user flash unless told.
    Reply hello(std::uint32_t version = turbo::version, std::uint32_t flashSize = 512000) {
        return request(turbo::Command::hello,
                       {version, flashSize, turbo::helloCheck(version, flashSize)});
    }
    // Sends bytes as they are, for a stream out of step.
    void raw(const std::string& bytes);
    // The replies of a sums request, each its own.
    std::vector<Reply> sums(std::uint32_t address, std::uint32_t length, std::uint32_t count);
    // A block with its CRC-32, or with the CRC given.
    Reply data(std::span<const std::uint8_t> block, std::optional<std::uint32_t> crc = {});
    // A deflate stream, padded with zeros to whole words, and the CRC-32 of the block it
    // stands for.
    Reply compressed(std::span<const std::uint8_t> stream, std::uint32_t blockCrc);

    static std::uint32_t crc32(std::span<const std::uint8_t> bytes);

private:
    Reply readReply(std::chrono::milliseconds timeout);

    IspTestClient& line;
};

} // namespace sparwick::sim::test
