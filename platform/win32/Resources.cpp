#include "platform/Resources.h"

#include "platform/ResourceSubstitution.h"
#include "resources/win32/FirmwareResource.h"

#include <string>
#include <windows.h>

// The executable's own resources through the Win32 resource API. Tests may put bytes of
// their own in place of a resource, or make one step fail; those substitutions are
// consulted first, as on every platform.
namespace sparwick {
namespace {

static_assert(firmwareResourceId == SPARWICK_FIRMWARE_RESOURCE_ID,
              "the resource script embeds the firmware under another id");
static_assert(firmwareResourceType == SPARWICK_FIRMWARE_RESOURCE_TYPE_NAME,
              "the resource script embeds the firmware under another type");

using Bytes = ResourceSubstitution::Bytes;

// Resource ids are 16 bits wide on Windows and 0 names none; any other int would alias
// an id of those.
constexpr int lowestResourceId = 1;
constexpr int highestResourceId = 0xFFFF;

// What an empty substituted resource locks to: null means that the lock failed.
constexpr std::uint8_t noBytes[1] = {};

HMODULE thisExecutable() {
    return ::GetModuleHandleA(nullptr);
}

// Win32's resource handles point into the executable's mapped image: the one that find
// returns at the resource's directory entry, the one that load returns at its bytes. A
// substitution lives in the tests' memory, outside the image; that is how the handles
// handed out for the two kinds are told apart.
bool isInThisExecutable(const void* handle) {
    MEMORY_BASIC_INFORMATION region{};
    return ::VirtualQuery(handle, &region, sizeof region) != 0 &&
           region.AllocationBase == thisExecutable();
}

const Bytes& substitutedBytes(const void* handle) {
    return *static_cast<const Bytes*>(handle);
}

} // namespace

ResourceInfo findResource(int id, std::string_view type) {
    if (const auto decided = ResourceSubstitution::instance().find(id, type)) {
        return *decided;
    }
    if (id < lowestResourceId || id > highestResourceId || type.empty()) {
        return nullptr;
    }
    const std::string typeName(type);
    return ::FindResourceA(thisExecutable(), MAKEINTRESOURCEA(id), typeName.c_str());
}

ResourceHandle loadResource(ResourceInfo info) {
    if (!info || ResourceSubstitution::instance().fails(ResourceStep::load)) {
        return nullptr;
    }
    if (!isInThisExecutable(info)) {
        // The handle only ever goes back to the calls below, which read through it.
        return const_cast<void*>(info);
    }
    // HRSRC is a pointer to a const-less opaque struct; find handed it out as const.
    return ::LoadResource(thisExecutable(), static_cast<HRSRC>(const_cast<void*>(info)));
}

std::uint32_t sizeofResource(ResourceInfo info) {
    if (!info) {
        return 0;
    }
    if (!isInThisExecutable(info)) {
        return static_cast<std::uint32_t>(substitutedBytes(info).size());
    }
    return ::SizeofResource(thisExecutable(), static_cast<HRSRC>(const_cast<void*>(info)));
}

const std::uint8_t* lockResource(ResourceHandle handle) {
    if (!handle || ResourceSubstitution::instance().fails(ResourceStep::lock)) {
        return nullptr;
    }
    if (!isInThisExecutable(handle)) {
        const Bytes& bytes = substitutedBytes(handle);
        return bytes.data() ? bytes.data() : noBytes;
    }
    return static_cast<const std::uint8_t*>(::LockResource(handle));
}

void freeResource(ResourceHandle handle) {
    // A substitution belongs to the test that made it.
    if (handle && isInThisExecutable(handle)) {
        ::FreeResource(handle);
    }
}

} // namespace sparwick
