// What an update through the turbo flasher erases and writes, from the CRCs of the image's
// blocks and of the flash's.
#include "flash/TurboPlan.h"

#include <gtest/gtest.h>
#include <vector>

namespace sparwick {
namespace {

TEST(TurboPlanTest, OnlyWhatDiffersIsErasedAndWrittenTheVectorsLast) {
    // Six blocks of flash: sectors 0 and 1 of one block, 2 and 3 of two; an image of five.
    const std::vector<std::uint32_t> sectorOf = {0, 1, 2, 2, 3, 3};
    const std::uint32_t blank = blankBlockCrc();
    const std::vector<std::uint32_t> image = {10, 11, 12, 13, 14};
    struct Case {
        const char* name;
        std::vector<std::uint32_t> image;
        std::vector<std::uint32_t> flash;
        std::vector<std::uint32_t> erase;
        std::vector<std::uint32_t> write;
    };
    const std::vector<Case> cases = {
        {"unchanged", image, {10, 11, 12, 13, 14, 99}, {}, {}},
        {"one block of a one-block sector", image, {10, 91, 12, 13, 14, 99}, {0, 1}, {1, 0}},
        {"a blank board", image, {blank, blank, blank, blank, blank, blank}, {}, {1, 2, 3, 4, 0}},
        {"one block of a two-block sector: the sector written whole",
         image,
         {10, 11, 12, 93, 14, 99},
         {0, 2},
         {2, 3, 0}},
        {"a blank sector is not erased", image, {10, 11, 12, 13, blank, blank}, {0}, {4, 0}},
        {"only the vectors", image, {90, 11, 12, 13, 14, 99}, {0}, {0}},
        {"an erased block the image leaves blank is not written",
         {10, 11, 12, blank, 14},
         {10, 11, 92, 93, 14, 99},
         {0, 2},
         {2, 0}},
    };
    for (const Case& c : cases) {
        const TurboPlan plan = planTurboUpdate(c.image, c.flash, sectorOf);
        EXPECT_EQ(plan.unchanged(), c.write.empty()) << c.name;
        EXPECT_EQ(plan.erase, c.erase) << c.name;
        EXPECT_EQ(plan.write, c.write) << c.name;
    }
}

} // namespace
} // namespace sparwick
