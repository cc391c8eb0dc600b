#include "flash/Uuencode.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace sparwick {
namespace {

std::string group(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    char out[4];
    uuencodeGroup(b0, b1, b2, out);
    return std::string(out, 4);
}

TEST(Uuencode, GroupsUseBackQuoteForZeroAndNeverASpace) {
    EXPECT_EQ(group(0x61, 0x62, 0x63), "86)C");
    EXPECT_EQ(group(0, 0, 0), "````");
    EXPECT_EQ(group(0xFF, 0xFF, 0xFF), "____");
    // Every value of every position stays within 0x21..0x60.
    for (int b = 0; b < 256; ++b) {
        for (char c : group(static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(255 - b),
                            static_cast<std::uint8_t>(b ^ 0x5A))) {
            EXPECT_GE(c, 0x21);
            EXPECT_LE(c, 0x60);
        }
    }
}

TEST(Uuencode, WholeLineIsTheLetterMAndFifteenGroupsAndAddsEveryByte) {
    std::vector<std::uint8_t> zeros(45, 0);
    char out[61];
    std::uint32_t sum = 5;
    uuencodeLine(zeros.data(), out, sum);
    EXPECT_EQ(std::string(out, 61), "M" + std::string(60, '`'));
    EXPECT_EQ(sum, 5u);

    std::vector<std::uint8_t> ones(45, 0xFF);
    uuencodeLine(ones.data(), out, sum);
    EXPECT_EQ(std::string(out, 61), "M" + std::string(60, '_'));
    EXPECT_EQ(sum, 5u + 45u * 255u);
}

TEST(Uuencode, ShortLineCarriesItsOwnLengthAndReadsNothingBeyondIt) {
    // Exactly one byte, so that the sanitizer sees any read past it.
    std::vector<std::uint8_t> one{0x61};
    char out[61];
    std::uint32_t sum = 0;
    EXPECT_EQ(uuencodeLine(one.data(), 1, out, sum), 5u);
    EXPECT_EQ(std::string(out, 5), "!80``");
    EXPECT_EQ(sum, 0x61u);
}

} // namespace
} // namespace sparwick
