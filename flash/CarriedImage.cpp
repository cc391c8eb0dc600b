#include "flash/CarriedImage.h"

#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"
#include "platform/Resources.h"

namespace sparwick {

CarriedImage::~CarriedImage() {
    free();
}

void CarriedImage::free() {
    if (handle != noHandle) {
        freeResource(reinterpret_cast<ResourceHandle>(handle));
        handle = noHandle;
    }
    image = {};
}

void CarriedImage::load() {
    free();
    ResourceInfo info = findResource(firmwareResourceId, firmwareResourceType);
    if (!info) {
        abortWithMessage(msg::couldNotExtractImage);
    }
    ResourceHandle loaded = loadResource(info);
    if (!loaded) {
        abortWithMessage(msg::couldNotLoadImage);
    }
    // Held from here on, so that a lock that fails still has it freed.
    handle = reinterpret_cast<std::intptr_t>(loaded);
    const std::uint32_t size = sizeofResource(info);
    const std::uint8_t* bytes = lockResource(loaded);
    if (!bytes) {
        abortWithMessage(msg::couldNotLockImage);
    }
    image = {bytes, size};
}

} // namespace sparwick
