// What the Win32 resource calls add to the platform's resource tests (tests/unit/
// ResourcesTest.cpp, built into the same program): ids as Win32 takes them, the update's
// image loading failing at each step on the real resource, and the rest of the resource
// script. Run under Wine.
#include "flash/IspFlasher.h"
#include "platform/Resources.h"
#include "platform/UserAbort.h"
#include "tests/support/MessageRecorder.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

namespace sparwick {
namespace {

class Win32Resources : public ::testing::Test {
protected:
    void TearDown() override { restoreResources(); }
};

TEST_F(Win32Resources, IdsBeyondSixteenBitsAreNotFound) {
    // Win32 resource ids have 16 bits: these share theirs with 133.
    for (int id : {65669, -65403}) {
        EXPECT_EQ(findResource(id, firmwareResourceType), nullptr) << id;
    }
}

class NoProgress : public ProgressSink {
public:
    void setProgress(int) override {}
};

// Each failing step of loading the image ends the update with its own message before
// any port is touched: the port named here does not exist.
TEST_F(Win32Resources, UpdateEndsWithTheMessageOfTheStepThatFailed) {
    const std::pair<ResourceStep, const char*> steps[] = {
        {ResourceStep::find, "Software upgrade failed. Could not extract flash image."},
        {ResourceStep::load, "Software upgrade failed. Could not load flash image."},
        {ResourceStep::lock, "Software upgrade failed. Could not lock flash image."},
    };
    for (const auto& [step, message] : steps) {
        test::MessageRecorder recorder;
        failResourceStep(step);
        NoProgress progress;
        EXPECT_THROW(IspFlasher().program(progress, "COM200", false), UserAbort);
        EXPECT_EQ(recorder.only(), message);
        restoreResources();
    }
}

// The rest of the resource script, which the dialog program shows.

TEST(ResourceScript, CarriesTheAboutItemTheIconAndTheVersion) {
    HMODULE self = ::GetModuleHandleA(nullptr);
    char text[64] = {};
    EXPECT_GT(::LoadStringA(self, 101, text, sizeof text), 0);
    EXPECT_STREQ(text, "&About Quellbox...");

    EXPECT_NE(::FindResourceA(self, MAKEINTRESOURCEA(128), MAKEINTRESOURCEA(14)), nullptr)
        << "no icon 128"; // 14: RT_GROUP_ICON, the icon with all its sizes
    EXPECT_NE(::LoadIconA(self, MAKEINTRESOURCEA(128)), nullptr);

    char path[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameA(self, path, sizeof path), 0u);
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u) << "no version information";
    std::vector<char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoA(path, 0, size, info.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(info.data(), "\\", &value, &length));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwProductVersionMS, (3u << 16) | 2u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileVersionMS, (3u << 16) | 2u);

    ASSERT_TRUE(
        ::VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\ProductName", &value, &length));
    EXPECT_STREQ(static_cast<const char*>(value), "Brumetor Sparwick v3.2.0");
    ASSERT_TRUE(::VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\ProductVersion", &value,
                                 &length));
    EXPECT_STREQ(static_cast<const char*>(value), "3.2.0");
}

} // namespace
} // namespace sparwick
