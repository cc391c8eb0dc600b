#include "platform/Resources.h"

#include "platform/ResourceSubstitution.h"
#include "resources/EmbeddedFirmware.h"

#include <array>

// The resources linked into the executable, behind the calls and failure points of the
// Win32 resource API. Everything is in memory from the start, as a Win32 module's
// resources are: find and load hand out the address of the resource's bytes, and free
// has nothing to give back.
namespace sparwick {
namespace {

using Bytes = ResourceSubstitution::Bytes;

struct LinkedResource {
    int id;
    std::string_view type;
    Bytes bytes;
};

const std::array<LinkedResource, 1>& linkedResources() {
    static const std::array<LinkedResource, 1> table{{
        {firmwareResourceId, firmwareResourceType, embeddedFirmware()},
    }};
    return table;
}

const Bytes& bytesOf(const void* resource) {
    return *static_cast<const Bytes*>(resource);
}

// What an empty resource locks to: a caller tells a failed lock by null, and an image of
// no bytes is still an image.
constexpr std::uint8_t noBytes[1] = {};

} // namespace

ResourceInfo findResource(int id, std::string_view type) {
    if (const auto decided = ResourceSubstitution::instance().find(id, type)) {
        return *decided;
    }
    for (const LinkedResource& resource : linkedResources()) {
        if (resource.id == id && ResourceSubstitution::sameType(resource.type, type)) {
            return &resource.bytes;
        }
    }
    return nullptr;
}

ResourceHandle loadResource(ResourceInfo info) {
    if (!info || ResourceSubstitution::instance().fails(ResourceStep::load)) {
        return nullptr;
    }
    // The handle only ever goes back to lockResource, which reads through it.
    return const_cast<void*>(info);
}

std::uint32_t sizeofResource(ResourceInfo info) {
    return info ? static_cast<std::uint32_t>(bytesOf(info).size()) : 0;
}

const std::uint8_t* lockResource(ResourceHandle handle) {
    if (!handle || ResourceSubstitution::instance().fails(ResourceStep::lock)) {
        return nullptr;
    }
    const Bytes& bytes = bytesOf(handle);
    return bytes.data() ? bytes.data() : noBytes;
}

void freeResource(ResourceHandle) {}

} // namespace sparwick
