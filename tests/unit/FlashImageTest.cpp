#include "flash/FlashImage.h"

#include "flash/FlashLayout.h"

#include <gtest/gtest.h>
#include <numeric>
#include <vector>

namespace sparwick {
namespace {

std::uint32_t vectorSum(const std::uint8_t* p) {
    std::uint32_t sum = 0;
    for (int i = 0; i < 32; i += 4) {
        sum += std::uint32_t{p[i]} | std::uint32_t{p[i + 1]} << 8 | std::uint32_t{p[i + 2]} << 16 |
               std::uint32_t{p[i + 3]} << 24;
    }
    return sum;
}

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    return bytes;
}

TEST(SectorLayout, BlockOffsetsMapToTheirSectorOrOnePastTheLast) {
    EXPECT_EQ(layout::sectorOfOffset(0, 27), 0);
    EXPECT_EQ(layout::sectorOfOffset(0x7000, 27), 7);
    EXPECT_EQ(layout::sectorOfOffset(0x8000, 27), 8);
    EXPECT_EQ(layout::sectorOfOffset(0x78000, 27), 22);
    EXPECT_EQ(layout::sectorOfOffset(0x7C000, 27), 26);
    EXPECT_EQ(layout::sectorOfOffset(0x7D000, 27), 27);
    EXPECT_EQ(layout::sectorOfOffset(0x3F000, 15), 14);
    EXPECT_EQ(layout::sectorOfOffset(0x40000, 15), 15);
    EXPECT_EQ(layout::flashSize(27), 512000u);
    EXPECT_EQ(layout::flashSize(15), 262144u);
    EXPECT_EQ(layout::flashSize(0), 0u);
}

TEST(FlashImage, ChecksumMakesTheVectorsSumToZeroAndLeavesAValidTableAlone) {
    auto image = pattern(64);
    auto patched = FlashImage::patched(image);
    EXPECT_EQ(vectorSum(patched.data()), 0u);
    // Only word 5 changed.
    for (std::size_t i = 0; i < image.size(); ++i) {
        if (i < 20 || i >= 24) {
            EXPECT_EQ(patched[i], image[i]) << i;
        }
    }
    EXPECT_EQ(FlashImage::patched(patched), patched);
}

TEST(FlashImage, FirstBlockIsPatchedWithoutWritingIntoTheImage) {
    const auto original = pattern(10000);
    auto image = original;
    FlashImage source(image.data(), static_cast<std::uint32_t>(image.size()));
    const std::uint8_t* first = source.block(0);
    EXPECT_EQ(vectorSum(first), 0u);
    EXPECT_EQ(image, original);
    EXPECT_TRUE(std::equal(first + 32, first + 4140, image.begin() + 32));
}

TEST(FlashImage, MiddleBlocksComeStraightFromTheImageAndTheTailIsFilledWithErasedBytes) {
    // 4100 bytes from 8192: that block runs past the end too, not just the last one.
    auto image = pattern(2 * 4096 + 4100);
    FlashImage source(image.data(), static_cast<std::uint32_t>(image.size()));
    EXPECT_EQ(source.block(4096), image.data() + 4096);
    const std::uint8_t* before = source.block(8192);
    EXPECT_TRUE(std::equal(before, before + 4100, image.begin() + 8192));
    EXPECT_TRUE(
        std::all_of(before + 4100, before + 4140, [](std::uint8_t b) { return b == 0xFF; }));
    const std::uint8_t* last = source.block(12288);
    EXPECT_TRUE(std::equal(last, last + 4, image.begin() + 12288));
    EXPECT_TRUE(std::all_of(last + 4, last + 4140, [](std::uint8_t b) { return b == 0xFF; }));
}

TEST(FlashImage, ImageShorterThanTheVectorTableIsSentAsItIs) {
    for (std::size_t size : {0u, 1u, 31u}) {
        SCOPED_TRACE(size);
        auto image = pattern(size);
        FlashImage source(image.data(), static_cast<std::uint32_t>(size));
        const std::uint8_t* first = source.block(0);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), first));
        EXPECT_TRUE(
            std::all_of(first + size, first + 4140, [](std::uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ(FlashImage::patched(image), image);
    }
}

} // namespace
} // namespace sparwick
