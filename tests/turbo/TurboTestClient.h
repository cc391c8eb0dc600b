#pragma once

#include "../sim/IspTestClient.h"
#include "stub/TurboProtocol.h"

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

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
    Reply hello(std::uint32_t version = turbo::version) {
        return request(turbo::Command::hello, {version});
    }
    // A block with its CRC-32, or with the CRC given.
    Reply data(std::span<const std::uint8_t> block, std::optional<std::uint32_t> crc = {});

    static std::uint32_t crc32(std::span<const std::uint8_t> bytes);

private:
    Reply readReply(std::chrono::milliseconds timeout);

    IspTestClient& line;
};

} // namespace sparwick::sim::test
