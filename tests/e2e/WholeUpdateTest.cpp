// Whole updates by the engine against the simulated boot loader over a pseudo-terminal:
// the device's flash afterwards is compared byte for byte with the image as patched.
#include "flash/UpdateMessages.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"
#include "tools/FirmwareGenerator.h"

#include <gtest/gtest.h>

namespace sparwick {
namespace {

constexpr std::uint32_t bigPart = 196389;   // 27 sectors
constexpr std::uint32_t smallPart = 196387; // 15 sectors
constexpr std::size_t bigFlash = 512000;
constexpr std::size_t smallFlash = 262144;
constexpr const char* port = "COM3";

struct Device {
    explicit Device(std::uint32_t partId, std::vector<std::uint8_t> flash = {})
        : sim([&] {
            sim::DeviceOptions options;
            options.partId = partId;
            options.flash = std::move(flash);
            return options;
        }()) {
        standFor(port, sim.path());
    }
    ~Device() { forgetAllStandIns(); }

    sim::SimulatedDevice sim;
};

void expectWritten(const Device& device, std::span<const std::uint8_t> image,
                   std::size_t flashSize) {
    auto expected = test::expectedFlash(image, flashSize);
    auto flash = device.sim.flash();
    EXPECT_EQ(test::firstDifference(flash, expected), -1);
    // An image without a whole vector table cannot be valid user code.
    EXPECT_EQ(device.sim.userCodeValid(), image.size() >= 32);
}

TEST(WholeUpdate, ShippedImageOnTheBigPartWithItsProgress) {
    Device device(bigPart);
    auto outcome = test::runUpdate(port, false);
    ASSERT_TRUE(outcome.succeeded);
    EXPECT_EQ(outcome.messages, std::vector<std::string>{std::string(msg::success)});
    // 59 blocks of 241,092 bytes: the start of each block, truncated.
    ASSERT_EQ(outcome.progress.size(), 59u);
    EXPECT_EQ(outcome.progress[0], 0);
    EXPECT_EQ(outcome.progress[1], 1);
    EXPECT_EQ(outcome.progress[2], 3);
    EXPECT_EQ(outcome.progress.back(), 98);
    EXPECT_TRUE(std::is_sorted(outcome.progress.begin(), outcome.progress.end()));
    expectWritten(device, test::shippedImage(), bigFlash);
    EXPECT_FALSE(OsalSerialPort::instance().write("x", 1)); // closed by the flasher
}

TEST(WholeUpdate, ShippedImageOnTheSmallPart) {
    Device device(smallPart);
    auto outcome = test::runUpdate(port, false);
    ASSERT_TRUE(outcome.succeeded);
    expectWritten(device, test::shippedImage(), smallFlash);
}

class ImageSize : public ::testing::TestWithParam<std::pair<std::uint32_t, std::size_t>> {};

TEST_P(ImageSize, IsWrittenWholeAndTheRestOfTheFlashErased) {
    auto [part, size] = GetParam();
    // Start from a flash full of old firmware, so that the erase shows too.
    Device device(part, tools::makeFirmwareImage(part == bigPart ? bigFlash : smallFlash, 7));
    auto image = tools::makeFirmwareImage(size);
    auto outcome = test::runUpdate(port, false, &image);
    ASSERT_TRUE(outcome.succeeded) << (outcome.messages.empty() ? "" : outcome.messages[0]);
    expectWritten(device, image, part == bigPart ? bigFlash : smallFlash);
    if (size == 0) {
        EXPECT_TRUE(outcome.progress.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EdgeSizes, ImageSize,
    ::testing::Values(std::pair{bigPart, std::size_t{0}}, std::pair{bigPart, std::size_t{45}},
                      std::pair{bigPart, std::size_t{4096}}, std::pair{bigPart, std::size_t{4097}},
                      std::pair{bigPart, bigFlash}, std::pair{smallPart, smallFlash}),
    [](const auto& testParam) {
        return std::string(testParam.param.first == bigPart ? "Big" : "Small") +
               std::to_string(testParam.param.second);
    });

TEST(WholeUpdate, ImageTooLargeForThePartIsRefusedBeforeAnythingIsErased) {
    auto old = tools::makeFirmwareImage(smallFlash, 7);
    Device device(smallPart, old);
    auto image = tools::makeFirmwareImage(smallFlash + 1);
    auto outcome = test::runUpdate(port, false, &image);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.messages, std::vector<std::string>{std::string(msg::invalidPrepareSector)});
    EXPECT_EQ(test::firstDifference(device.sim.flash(), old), -1);
}

} // namespace
} // namespace sparwick
