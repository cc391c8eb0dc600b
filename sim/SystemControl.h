#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sparwick::sim {

// The system control block of an LPC213x/214x as user code meets it: the PLL with its
// feed sequence, the VPB divider, the memory map and the memory accelerator's registers.
// It decides the core and peripheral clocks, which the UART's rate and the IAP calls
// depend on. Registers it does not model keep what was written.
class SystemControl {
public:
    static constexpr std::uint32_t base = 0xE01FC000;
    static constexpr std::uint32_t size = 0x1000;
    // The board's usual crystal, whose multiples give the boot loader's and the flasher's
    // rates exactly.
    static constexpr std::uint32_t defaultCrystalHz = 14'745'600;
    // MEMMAP values: the boot block's vectors at 0 (as the boot loader leaves it), or
    // the user flash's.
    static constexpr std::uint32_t bootLoaderMode = 0;
    static constexpr std::uint32_t userFlashMode = 1;

    // pllLocks: whether the PLL ever locks; a part whose PLL does not (a faulty loop
    // filter, a crystal that does not start the loop) leaves PLOCK clear for good.
    explicit SystemControl(std::uint32_t crystal = defaultCrystalHz, bool pllLocks = true)
        : crystalHz(crystal)
        , pllCanLock(pllLocks) {}

    // A read of PLLSTAT is time passing while the code waits for the lock.
    std::uint32_t read(std::uint32_t offset);
    void write(std::uint32_t offset, std::uint32_t value);

    std::uint32_t coreClockHz() const;
    std::uint32_t peripheralClockHz() const;
    std::uint32_t memoryMap() const { return memmap; }
    // PLLCON and PLLCFG as the last feed made them effective: 0 and 0 as a reset leaves
    // them.
    std::uint32_t effectivePllControl() const { return activeCon; }
    std::uint32_t effectivePllConfig() const { return activeCfg; }
    // The PLL drives the core before it has locked: what the manuals forbid.
    bool pllConnectedUnlocked() const { return (activeCon & 0x3) == 0x3 && !locked; }
    // How many reads of PLLSTAT after the PLL is enabled the lock takes: the 0.1 ms or
    // so a real PLL needs, counted in the code's polls of it (the emulator keeps no time
    // of its own). Code that connects without waiting for the lock finds it not there.
    static constexpr std::uint32_t lockPolls = 16;
    // What went against the manuals since the last call (a PLL outside its range, a core
    // above its rated clock), for the log.
    std::vector<std::string> takeWarnings();

private:
    void feed(std::uint32_t value);
    void checkClocks();

    std::uint32_t crystalHz;
    bool pllCanLock;
    std::uint32_t pllcon = 0;
    std::uint32_t pllcfg = 0;
    // What the last good feed sequence made effective.
    std::uint32_t activeCon = 0;
    std::uint32_t activeCfg = 0;
    bool fedFirstHalf = false;
    bool locked = false;
    std::uint32_t pollsSinceEnable = 0;
    std::uint32_t vpbdiv = 0;
    std::uint32_t vpbDivider = 4;
    std::uint32_t memmap = bootLoaderMode;
    std::map<std::uint32_t, std::uint32_t> others;
    std::vector<std::string> warnings;
};

} // namespace sparwick::sim
