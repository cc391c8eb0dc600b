#include "tools/FirmwareGenerator.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <vector>

namespace sparwick::tools {
namespace {

using Image = std::vector<std::uint8_t>;

constexpr std::uint32_t ldrPcVector = 0xE59FF018;
constexpr std::uint32_t pushWork = 0xE92D40F0;

std::uint32_t wordAt(const Image& image, std::size_t offset) {
    return std::uint32_t{image.at(offset)} | std::uint32_t{image.at(offset + 1)} << 8 |
           std::uint32_t{image.at(offset + 2)} << 16 | std::uint32_t{image.at(offset + 3)} << 24;
}

TEST(FirmwareImageGenerator, ReproducesTheShippedImageByteForByte) {
    std::ifstream in(SHIPPED_FIRMWARE_FILE, std::ios::binary);
    const Image shipped{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(shipped.size(), shippedFirmwareSize);
    EXPECT_TRUE(makeFirmwareImage(shippedFirmwareSize) == shipped);
}

TEST(FirmwareImageGenerator, VectorsLoadHandlersThatLieInsideTheImage) {
    const Image image = makeFirmwareImage(shippedFirmwareSize);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::uint32_t vector = wordAt(image, 4 * i);
        const std::uint32_t handler = wordAt(image, 32 + 4 * i);
        sum += vector;
        if (i == 5) {
            EXPECT_EQ(vector, 0u);
            EXPECT_EQ(handler, 0u);
            continue;
        }
        EXPECT_EQ(vector, ldrPcVector) << i;
        EXPECT_EQ(handler % 4, 0u) << i;
        EXPECT_GE(handler, 64u) << i;
        EXPECT_LT(handler, 256u) << i;
        // An instruction with condition "always" is what the handler starts with.
        EXPECT_EQ(wordAt(image, handler) >> 28, 0xEu) << i;
    }
    // Left for the updater to make valid.
    EXPECT_NE(sum, 0u);
}

TEST(FirmwareImageGenerator, CallsLandOnFunctionEntries) {
    const Image image = makeFirmwareImage(shippedFirmwareSize);
    int calls = 0;
    for (std::size_t at = 64; at + 4 <= image.size(); at += 4) {
        const std::uint32_t word = wordAt(image, at);
        if ((word & 0xFF000000) != 0xEB000000) {
            continue;
        }
        const auto offset = static_cast<std::int32_t>(word << 8) >> 6;
        const std::size_t target = at + 8 + static_cast<std::size_t>(offset);
        ASSERT_LT(target, image.size()) << at;
        EXPECT_EQ(wordAt(image, target), pushWork) << at;
        ++calls;
    }
    EXPECT_GT(calls, 100);
}

TEST(FirmwareImageGenerator, EveryImageIsAPrefixOfTheLargest) {
    const Image largest = makeFirmwareImage(512000);
    ASSERT_EQ(largest.size(), 512000u);
    for (std::size_t size : {0, 1, 20, 31, 32, 45, 63, 64, 4095, 4096, 4097, 262144}) {
        const Image image = makeFirmwareImage(size);
        ASSERT_EQ(image.size(), size);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), largest.begin())) << size;
    }
}

TEST(FirmwareImageGenerator, SeedChangesTheBodyButNotTheVectors) {
    const Image a = makeFirmwareImage(8192, 1);
    EXPECT_EQ(makeFirmwareImage(8192, 1), a);
    const Image b = makeFirmwareImage(8192, 2);
    EXPECT_NE(a, b);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 64, b.begin()));
}

// An update that writes a block to the wrong place, or leaves one unwritten, must show
// in a byte-for-byte comparison of the flash.
TEST(FirmwareImageGenerator, NoTwoBlocksAlikeAndNoneErased) {
    const Image image = makeFirmwareImage(512000);
    std::set<Image> blocks;
    for (std::size_t at = 0; at < image.size(); at += 4096) {
        Image block(image.begin() + static_cast<std::ptrdiff_t>(at),
                    image.begin() + static_cast<std::ptrdiff_t>(at + 4096));
        EXPECT_NE(std::count(block.begin(), block.end(), 0xFF), 4096) << at;
        blocks.insert(std::move(block));
    }
    EXPECT_EQ(blocks.size(), 125u);
}

} // namespace
} // namespace sparwick::tools
