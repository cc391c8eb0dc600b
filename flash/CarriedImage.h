#pragma once

#include <cstdint>
#include <span>

namespace sparwick {

// The firmware image this program carries, as a resource of its own module: found,
// loaded, sized and locked by load(), each failing step ending with its message, and
// freed by free() or when the object goes. The handle is all ones while none is held.
class CarriedImage {
public:
    CarriedImage() = default;
    ~CarriedImage();
    CarriedImage(const CarriedImage&) = delete;
    CarriedImage& operator=(const CarriedImage&) = delete;

    // Frees a held image first. On success bytes() is the image, read-only.
    void load();
    void free();

    std::span<const std::uint8_t> bytes() const { return image; }

private:
    static constexpr std::intptr_t noHandle = -1;
    std::intptr_t handle = noHandle;
    std::span<const std::uint8_t> image;
};

} // namespace sparwick
