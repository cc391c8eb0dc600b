#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace sparwick::sim {

// One supported part: its identification number and how its user flash is divided. The
// boot block above the last user sector cannot be prepared, erased or written.
class PartDescription {
public:
    // The part a device is unless told otherwise.
    static constexpr std::uint32_t defaultPartId = 196389;

    // The part with this identification number, or nothing for an unsupported one.
    static std::optional<PartDescription> find(std::uint32_t partId);
    // The identification numbers of the supported parts, for messages.
    static std::span<const std::uint32_t> supportedIds();

    std::uint32_t partId() const { return id; }
    std::uint32_t sectorCount() const { return sectors; }
    std::uint32_t flashSize() const;
    std::uint32_t sectorStart(std::uint32_t sector) const;
    std::uint32_t sectorEnd(std::uint32_t sector) const; // one past the last byte
    // The sector that holds this flash offset; offsets past the flash give sectorCount().
    std::uint32_t sectorOf(std::uint32_t offset) const;

private:
    PartDescription(std::uint32_t partId, std::uint32_t sectorCount)
        : id(partId)
        , sectors(sectorCount) {}

    std::uint32_t id;
    std::uint32_t sectors;
};

} // namespace sparwick::sim
