#include "flash/TurboPlan.h"

#include "flash/FlashLayout.h"
#include "flash/TurboSession.h"

#include <algorithm>
#include <map>

namespace sparwick {

std::uint32_t blankBlockCrc() {
    static const std::uint32_t crc = [] {
        const std::vector<std::uint8_t> erased(layout::copyLength, 0xFF);
        return TurboSession::crc32(erased);
    }();
    return crc;
}

TurboPlan planTurboUpdate(std::span<const std::uint32_t> imageCrcs,
                          std::span<const std::uint32_t> flashCrcs,
                          std::span<const std::uint32_t> sectorOfBlock) {
    TurboPlan plan;
    for (std::uint32_t i = 0; i < imageCrcs.size(); ++i) {
        if (imageCrcs[i] != flashCrcs[i]) {
            plan.differing.push_back(i);
        }
    }
    if (plan.unchanged()) {
        return plan;
    }
    // Per sector that holds a block of the image: whether it differs, whether it is blank.
    struct Sector {
        bool differs = false;
        bool blank = true;
    };
    std::map<std::uint32_t, Sector> sectors;
    for (std::uint32_t i = 0; i < flashCrcs.size(); ++i) {
        sectors[sectorOfBlock[i]].blank &= flashCrcs[i] == blankBlockCrc();
    }
    for (const std::uint32_t i : plan.differing) {
        sectors[sectorOfBlock[i]].differs = true;
    }
    // Sector 0 is rewritten whenever anything is, so that its vectors go last.
    sectors[0].differs = true;
    for (const auto& [sector, state] : sectors) {
        if (state.differs && !state.blank) {
            plan.erase.push_back(sector);
        }
    }
    const auto erased = [&](std::uint32_t sector) {
        return std::find(plan.erase.begin(), plan.erase.end(), sector) != plan.erase.end();
    };
    const auto differs = [&](std::uint32_t block) { return imageCrcs[block] != flashCrcs[block]; };
    std::vector<std::uint32_t> sectorZero;
    for (std::uint32_t i = 0; i < imageCrcs.size(); ++i) {
        const std::uint32_t sector = sectorOfBlock[i];
        // A block the erase leaves as the image has it needs no write.
        const bool needed = erased(sector) ? imageCrcs[i] != blankBlockCrc() : differs(i);
        if (!needed) {
            continue;
        }
        (sector == 0 ? sectorZero : plan.write).push_back(i);
    }
    // Sector 0's blocks after all others, its first block last of all.
    std::rotate(sectorZero.begin(),
                sectorZero.begin() + (!sectorZero.empty() && sectorZero.front() == 0 ? 1 : 0),
                sectorZero.end());
    plan.write.insert(plan.write.end(), sectorZero.begin(), sectorZero.end());
    return plan;
}

} // namespace sparwick
