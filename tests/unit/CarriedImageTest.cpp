#include "flash/CarriedImage.h"

#include "flash/UpdateMessages.h"
#include "platform/Resources.h"
#include "platform/UserAbort.h"
#include "tests/support/MessageRecorder.h"

#include <gtest/gtest.h>
#include <vector>

namespace sparwick {
namespace {

using test::MessageRecorder;

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

TEST(CarriedImage, EachStepThatFailsEndsWithItsOwnMessage) {
    struct Case {
        ResourceStep step;
        std::string_view message;
    };
    for (auto [step, message] : {Case{ResourceStep::find, msg::couldNotExtractImage},
                                 Case{ResourceStep::load, msg::couldNotLoadImage},
                                 Case{ResourceStep::lock, msg::couldNotLockImage}}) {
        SCOPED_TRACE(message);
        MessageRecorder messages;
        failResourceStep(step);
        CarriedImage image;
        EXPECT_THROW(image.load(), UserAbort);
        EXPECT_EQ(messages.only(), message);
        EXPECT_TRUE(image.bytes().empty());
    }
    restoreResources();
}

} // namespace
} // namespace sparwick
