#include "sim/PartDescription.h"

#include <algorithm>
#include <array>

namespace sparwick::sim {

namespace {

struct SectorRun {
    std::uint32_t count;
    std::uint32_t size;
};

// The flash of the whole family: eight 4 KB sectors, fourteen of 32 KB, five of 4 KB. A
// smaller part has the first sectors of this layout.
constexpr std::array<SectorRun, 3> sectorLayout = {{{8, 4096}, {14, 32768}, {5, 4096}}};

struct PartEntry {
    std::uint32_t partId;
    std::uint32_t sectorCount;
};

constexpr std::array<PartEntry, 2> parts = {{{PartDescription::defaultPartId, 27}, {196387, 15}}};
constexpr std::array<std::uint32_t, 2> partIds = {parts[0].partId, parts[1].partId};

} // namespace

std::optional<PartDescription> PartDescription::find(std::uint32_t partId) {
    const auto* entry = std::find_if(parts.begin(), parts.end(),
                                     [&](const PartEntry& e) { return e.partId == partId; });
    if (entry == parts.end()) {
        return std::nullopt;
    }
    return PartDescription(entry->partId, entry->sectorCount);
}

std::span<const std::uint32_t> PartDescription::supportedIds() {
    return partIds;
}

std::uint32_t PartDescription::flashSize() const {
    return sectorStart(sectors);
}

std::uint32_t PartDescription::sectorStart(std::uint32_t sector) const {
    std::uint32_t offset = 0;
    std::uint32_t remaining = std::min(sector, sectors);
    for (const SectorRun& run : sectorLayout) {
        const std::uint32_t taken = std::min(remaining, run.count);
        offset += taken * run.size;
        remaining -= taken;
    }
    return offset;
}

std::uint32_t PartDescription::sectorEnd(std::uint32_t sector) const {
    return sectorStart(sector + 1);
}

std::uint32_t PartDescription::sectorOf(std::uint32_t offset) const {
    for (std::uint32_t sector = 0; sector < sectors; ++sector) {
        if (offset < sectorEnd(sector)) {
            return sector;
        }
    }
    return sectors;
}

} // namespace sparwick::sim
