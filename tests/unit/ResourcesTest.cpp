#include "platform/Resources.h"

#include "tools/FirmwareGenerator.h"

#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <vector>

namespace sparwick {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::optional<Bytes> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The bytes as the updater gets them: find, load, size and lock, then free; none when
// a step fails.
std::optional<Bytes> loadAll(int id, std::string_view type) {
    ResourceInfo info = findResource(id, type);
    ResourceHandle handle = loadResource(info);
    const std::uint8_t* bytes = lockResource(handle);
    freeResource(handle);
    if (!bytes) {
        return std::nullopt;
    }
    return Bytes(bytes, bytes + sizeofResource(info));
}

class ResourcesTest : public ::testing::Test {
protected:
    void TearDown() override { restoreResources(); }
};

TEST_F(ResourcesTest, LinkedFirmwareIsTheConfiguredFileWordAligned) {
    const std::optional<Bytes> expected = readFile(SPARWICK_FIRMWARE_FILE);
    ASSERT_TRUE(expected) << "cannot read " << SPARWICK_FIRMWARE_FILE;

    ResourceInfo info = findResource(firmwareResourceId, firmwareResourceType);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(sizeofResource(info), expected->size());
    const std::uint8_t* bytes = lockResource(loadResource(info));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % 4, 0u);

    EXPECT_EQ(loadAll(firmwareResourceId, firmwareResourceType), expected);
    // Freed and found again, as by the next update in the same process.
    EXPECT_EQ(loadAll(firmwareResourceId, firmwareResourceType), expected);
}

TEST_F(ResourcesTest, TypeComparesRegardlessOfCaseAsOnWindows) {
    EXPECT_EQ(findResource(firmwareResourceId, "flashimage"),
              findResource(firmwareResourceId, firmwareResourceType));
}

TEST_F(ResourcesTest, UnknownIdOrTypeIsNotFound) {
    for (int id : {0, 132, 134, -133}) {
        EXPECT_EQ(findResource(id, firmwareResourceType), nullptr) << id;
    }
    for (std::string_view type : {"", "FLASHIMAG", "FLASHIMAGES", "FLASH IMAGE", "RCDATA"}) {
        EXPECT_EQ(findResource(firmwareResourceId, type), nullptr) << type;
    }
}

TEST_F(ResourcesTest, NullInputFailsWithoutHarm) {
    EXPECT_EQ(loadResource(nullptr), nullptr);
    EXPECT_EQ(sizeofResource(nullptr), 0u);
    EXPECT_EQ(lockResource(nullptr), nullptr);
    freeResource(nullptr);
}

TEST_F(ResourcesTest, EachStepFailsOnlyWhenToldTo) {
    failResourceStep(ResourceStep::find);
    EXPECT_EQ(findResource(firmwareResourceId, firmwareResourceType), nullptr);

    failResourceStep(ResourceStep::load);
    ResourceInfo info = findResource(firmwareResourceId, firmwareResourceType);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(loadResource(info), nullptr);

    failResourceStep(ResourceStep::lock);
    ResourceHandle handle = loadResource(info);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(lockResource(handle), nullptr);
    freeResource(handle);

    failResourceStep(ResourceStep::none);
    EXPECT_TRUE(loadAll(firmwareResourceId, firmwareResourceType));

    failResourceStep(ResourceStep::lock);
    restoreResources();
    EXPECT_TRUE(loadAll(firmwareResourceId, firmwareResourceType));
}

TEST_F(ResourcesTest, SubstitutedBytesAreFoundUntilRestored) {
    const std::optional<Bytes> linked = loadAll(firmwareResourceId, firmwareResourceType);
    const Bytes image = tools::makeFirmwareImage(4097, 7);
    substituteResource(firmwareResourceId, "FlashImage", image);

    ResourceInfo info = findResource(firmwareResourceId, firmwareResourceType);
    EXPECT_EQ(sizeofResource(info), 4097u);
    // The caller's own memory, not a copy: the updater sends blocks straight from it.
    EXPECT_EQ(lockResource(loadResource(info)), image.data());

    restoreResources();
    EXPECT_EQ(loadAll(firmwareResourceId, firmwareResourceType), linked);
}

TEST_F(ResourcesTest, LaterSubstitutionWinsAndLeavesOtherResourcesAlone) {
    const Bytes first(100, 0x11);
    const Bytes second(45, 0x22);
    const Bytes other(8, 0x33);
    substituteResource(firmwareResourceId, firmwareResourceType, first);
    ResourceInfo held = findResource(firmwareResourceId, firmwareResourceType);
    substituteResource(firmwareResourceId, firmwareResourceType, second);
    substituteResource(200, "SETTINGS", other);

    EXPECT_EQ(loadAll(firmwareResourceId, firmwareResourceType), second);
    EXPECT_EQ(loadAll(200, "SETTINGS"), other);
    EXPECT_EQ(findResource(200, firmwareResourceType), nullptr);
    // What was found before the second substitution still reads the first bytes.
    EXPECT_EQ(sizeofResource(held), first.size());
}

TEST_F(ResourcesTest, EmptyResourceLocksToAnAddress) {
    const Bytes empty;
    substituteResource(firmwareResourceId, firmwareResourceType, empty);
    ResourceInfo info = findResource(firmwareResourceId, firmwareResourceType);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(sizeofResource(info), 0u);
    // Null would read as "cannot lock"; an image of no bytes is still an image.
    EXPECT_NE(lockResource(loadResource(info)), nullptr);
}

} // namespace
} // namespace sparwick
