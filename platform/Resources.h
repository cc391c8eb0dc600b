#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// The program's own data resources, with the calls and failure points of the Win32
// resource API: find by id and type, load, size, lock, free. On Windows they are the
// resources of the executable; elsewhere the same resources are linked into it.
namespace sparwick {

using ResourceInfo = const void*; // what find returns; null: not found
using ResourceHandle = void*;     // what load returns; null: not loaded

ResourceInfo findResource(int id, std::string_view type);
ResourceHandle loadResource(ResourceInfo info);
std::uint32_t sizeofResource(ResourceInfo info);
// The resource's bytes, read-only; null when it cannot be locked.
const std::uint8_t* lockResource(ResourceHandle handle);
void freeResource(ResourceHandle handle);

// The firmware image this program carries.
inline constexpr int firmwareResourceId = 133;
inline constexpr std::string_view firmwareResourceType = "FLASHIMAGE";

// For tests: within this process, the resource id of type is found with these bytes
// instead of the linked ones (which the caller keeps alive), or one step of using it
// fails (until restored). restoreResources() undoes every substitution and failure.
enum class ResourceStep { none, find, load, lock };
void substituteResource(int id, std::string_view type, std::span<const std::uint8_t> bytes);
void failResourceStep(ResourceStep step);
void restoreResources();

} // namespace sparwick
