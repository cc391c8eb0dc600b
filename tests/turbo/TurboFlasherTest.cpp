#include "TurboTestClient.h"

#include "../sim/DeviceTest.h"

#include <termios.h>

#include <algorithm>
#include <vector>

namespace sparwick::sim::test {
namespace {

using turbo::Command;
using turbo::Status;

constexpr std::uint32_t sectorSize = 4096;

// Bytes with XON, XOFF, ESC and line ends among them: the line is binary.
[[maybe_unused]] std::vector<std::uint8_t> image(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 29 + i / 251) ^ 0x11);
    }
    // Valid user code: the vector table's eight words sum to 0.
    std::uint32_t sum = 0;
    for (std::size_t w = 0; w < 8; ++w) {
        if (w != 5) {
            sum += static_cast<std::uint32_t>(bytes[w * 4]) | bytes[w * 4 + 1] << 8 |
                   bytes[w * 4 + 2] << 16 | static_cast<std::uint32_t>(bytes[w * 4 + 3]) << 24;
        }
    }
    const std::uint32_t check = 0u - sum;
    for (std::size_t b = 0; b < 4; ++b) {
        bytes[20 + b] = static_cast<std::uint8_t>(check >> (8 * b));
    }
    return bytes;
}

class TurboFlasherTest : public DeviceTest {
protected:
    // The boot loader at 115200, the flasher loaded and started, the host at its rate.
    void startFlasher(DeviceOptions options = {}, unsigned hostSpeed = B921600) {
        start(std::move(options));
        client->setSpeed(B115200);
        client->synchronize();
        turbo = std::make_unique<TurboTestClient>(*client);
        ASSERT_TRUE(turbo->load());
        client->setSpeed(hostSpeed);
    }

    std::unique_ptr<TurboTestClient> turbo;
};

TEST_F(TurboFlasherTest, HandshakeThenUpdate) {
    startFlasher();
    const auto hello = turbo->hello();
    ASSERT_TRUE(hello.complete);
    EXPECT_EQ(hello.status, Status::ok);
    EXPECT_EQ(hello.value, turbo::version);
}

} // namespace
} // namespace sparwick::sim::test
