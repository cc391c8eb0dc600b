// The host's side of reading the flash back: decoding the boot loader's uuencoded lines,
// and the R commands that cover what an update wrote.
#include "flash/ReadBackRange.h"
#include "flash/Uudecode.h"
#include "flash/Uuencode.h"

#include <gtest/gtest.h>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace sparwick {
namespace {

std::vector<std::uint8_t> group(const std::string& characters) {
    std::vector<std::uint8_t> bytes(3);
    if (!uudecodeGroup(characters.data(), bytes.data())) {
        return {};
    }
    return bytes;
}

// The bytes of a line and what they added to a sum that started at 5; nothing for a line
// that is not one.
std::optional<std::pair<std::vector<std::uint8_t>, std::uint32_t>> line(const std::string& text) {
    std::vector<std::uint8_t> bytes(45, 0xEE);
    std::uint32_t sum = 5;
    const auto count = uudecodeLine(text.data(), text.size(), bytes.data(), sum);
    if (!count) {
        EXPECT_EQ(sum, 5u) << "a refused line adds nothing";
        return std::nullopt;
    }
    // Nothing written beyond the bytes the line declares.
    EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<long>(*count), bytes.end(),
                            [](std::uint8_t b) { return b == 0xEE; }));
    bytes.resize(*count);
    return std::pair{bytes, sum - 5};
}

TEST(Uudecode, GroupsAreTheEncodersMirrorAndAcceptSpaceAsZero) {
    EXPECT_EQ(group("86)C"), (std::vector<std::uint8_t>{0x61, 0x62, 0x63}));
    EXPECT_EQ(group("````"), (std::vector<std::uint8_t>{0, 0, 0}));
    EXPECT_EQ(group("    "), (std::vector<std::uint8_t>{0, 0, 0}));
    EXPECT_EQ(group("____"), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF}));
    for (int b = 0; b < 256; ++b) {
        const std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(b),
                                              static_cast<std::uint8_t>(255 - b),
                                              static_cast<std::uint8_t>(b ^ 0x5A)};
        char encoded[4];
        uuencodeGroup(bytes[0], bytes[1], bytes[2], encoded);
        EXPECT_EQ(group(std::string(encoded, 4)), bytes);
    }
    // Below the space, above the back-quote: not part of a line.
    EXPECT_TRUE(group("86)\x1f").empty());
    EXPECT_TRUE(group("a6)C").empty());
}

TEST(Uudecode, WholeLinesGiveTheirBytesAndSum) {
    EXPECT_EQ(line("M" + std::string(60, '`')),
              std::pair(std::vector<std::uint8_t>(45, 0), std::uint32_t{0}));
    EXPECT_EQ(line("M" + std::string(60, '_')),
              std::pair(std::vector<std::uint8_t>(45, 0xFF), std::uint32_t{45 * 255}));
}

TEST(Uudecode, LinesShorterThan45BytesDropTheLastGroupsFiller) {
    EXPECT_EQ(line("!80``"), std::pair(std::vector<std::uint8_t>{0x61}, std::uint32_t{0x61}));
    for (std::size_t length : {2u, 3u, 10u, 44u}) {
        std::vector<std::uint8_t> data(length);
        std::iota(data.begin(), data.end(), std::uint8_t{200});
        char encoded[61];
        std::uint32_t sum = 0;
        const std::size_t size = uuencodeLine(data.data(), length, encoded, sum);
        EXPECT_EQ(line(std::string(encoded, size)), std::pair(data, sum)) << length;
    }
}

TEST(Uudecode, RefusesWhatIsNotALine) {
    for (const std::string& text : {
             std::string(),
             std::string("`"),                    // no bytes
             std::string(" "),                    // no bytes either
             "N" + std::string(64, '`'),          // 46 bytes
             "M" + std::string(56, '`'),          // a group short
             "M" + std::string(64, '`'),          // a group too many
             std::string("!80`"),                 // a character short
             "M" + std::string(59, '`') + "\x7f", // outside the alphabet
             std::string("!80`\r"),               // a line end left on
         }) {
        EXPECT_EQ(line(text), std::nullopt) << text;
    }
}

TEST(ReadBackRange, ShippedImageIsReadFromOffset64InWholeChunks) {
    const ReadBackRange range(241092);
    EXPECT_EQ(range.begin(), 64u);
    EXPECT_EQ(range.end(), 241092u);
    EXPECT_EQ(range.size(), 241028u);
    ASSERT_EQ(range.chunkCount(), 54u);
    EXPECT_EQ(range.chunk(0), (ReadBackRange::Chunk{64, 4500}));
    EXPECT_EQ(range.chunk(53), (ReadBackRange::Chunk{238564, 2528}));
    std::uint32_t next = 64;
    for (std::uint32_t i = 0; i < range.chunkCount(); ++i) {
        const auto chunk = range.chunk(i);
        EXPECT_EQ(chunk.offset, next);
        EXPECT_EQ(chunk.offset % 4, 0u);
        EXPECT_EQ(chunk.count % 4, 0u);
        EXPECT_GT(chunk.count, 0u);
        next += chunk.count;
    }
    EXPECT_EQ(next, 241092u);
    EXPECT_EQ(range.summary(), "Verified 241028 bytes (offset 64 to 241092) against the image.");
}

TEST(ReadBackRange, AnImageEndingInsideAWordIsReadToTheWordsEnd) {
    // Block 0 and one byte of block 1.
    const ReadBackRange range(4097);
    EXPECT_EQ(range.end(), 4097u);
    ASSERT_EQ(range.chunkCount(), 1u);
    EXPECT_EQ(range.chunk(0), (ReadBackRange::Chunk{64, 4036}));

    const ReadBackRange justPastTheVectors(65);
    ASSERT_EQ(justPastTheVectors.chunkCount(), 1u);
    EXPECT_EQ(justPastTheVectors.chunk(0), (ReadBackRange::Chunk{64, 4}));

    // The largest image ends with the flash, on a chunk's edge or not.
    const ReadBackRange largest(512000);
    const auto last = largest.chunk(largest.chunkCount() - 1);
    EXPECT_EQ(last.offset + last.count, 512000u);
}

TEST(ReadBackRange, ImageOf64BytesOrFewerHasNothingToVerifyAndSaysSo) {
    for (std::uint32_t size : {0u, 1u, 40u, 64u}) {
        const ReadBackRange range(size);
        EXPECT_TRUE(range.empty()) << size;
        EXPECT_EQ(range.size(), 0u);
        EXPECT_EQ(range.chunkCount(), 0u);
    }
    EXPECT_EQ(ReadBackRange(40).summary(),
              "Nothing to verify: the image's 40 bytes lie within the first 64 of the flash, "
              "which read back as the boot block's vectors.");
    EXPECT_FALSE(ReadBackRange(68).empty());
}

} // namespace
} // namespace sparwick
