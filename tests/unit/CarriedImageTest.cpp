#include "flash/CarriedImage.h"

#include "platform/Resources.h"

#include <gtest/gtest.h>
#include <vector>

namespace sparwick {
namespace {

TEST(CarriedImage, LoadsTheLinkedImageAndLetsItGo) {
    const std::vector<std::uint8_t> stand{1, 2, 3, 4, 5};
    substituteResource(firmwareResourceId, firmwareResourceType, stand);
    CarriedImage image;
    EXPECT_TRUE(image.bytes().empty());
    image.load();
    EXPECT_EQ(std::vector<std::uint8_t>(image.bytes().begin(), image.bytes().end()), stand);
    // Loading again frees what it held first and takes the image anew.
    image.load();
    EXPECT_EQ(image.bytes().size(), stand.size());
    image.free();
    EXPECT_TRUE(image.bytes().empty());
    restoreResources();
}

} // namespace
} // namespace sparwick
