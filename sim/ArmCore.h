#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct uc_struct;

namespace sparwick::sim {

// An ARM7TDMI (ARMv4T) on Unicorn's emulator: the RAM and the flash of the part mapped
// from buffers that the caller owns (the flash read-only and not executable, so that a
// jump into it is seen), the boot ROM's top page (readable, not executable: a jump to
// the IAP entry is served by the Board), and peripheral pages served by a Board. It runs
// in slices, stops when the Board asks it to, and turns every way of running away (an
// undefined instruction, an access outside memory, a write to flash, a jump into the boot
// ROM other than the IAP entry) into a fault that says where: the instruction for an
// exception, the block of code for an access.
class ArmCore {
public:
    class Board {
    public:
        virtual ~Board() = default;
        virtual std::uint32_t read(std::uint32_t address, unsigned size) = 0;
        virtual void write(std::uint32_t address, unsigned size, std::uint32_t value) = 0;
        // The IAP entry was called (in Thumb state); it returns to lr when this returns.
        virtual void callIap() = 0;
    };

    enum class Stop {
        // The slice's code ran out: more to do.
        sliceEnded,
        // The Board asked for a pause (the code waits for something).
        paused,
        // The code jumped to the flash, at flashEntry().
        enteredFlash,
        // The code ran away: fault() says how.
        fault,
    };

    static constexpr std::uint32_t bootRomBase = 0x7FFFD000;
    static constexpr std::uint32_t bootRomSize = 0x3000;

    // The regions are whole 4 KiB pages; ram and flash must outlive the core.
    ArmCore(std::span<std::uint8_t> ram, std::uint32_t ramBase, std::span<std::uint8_t> flash,
            const std::vector<std::pair<std::uint32_t, std::uint32_t>>& peripheralPages,
            Board& board);
    ~ArmCore();
    ArmCore(const ArmCore&) = delete;
    ArmCore& operator=(const ArmCore&) = delete;

    // Where execution begins, as G gives it.
    void start(std::uint32_t address, bool thumb);
    // Runs until a stop, or until about codeBytes of code (counted a block at a time) ran.
    Stop run(std::uint64_t codeBytes);

    // For the Board, while it serves an access: stop before the next block of code (the
    // access completes, and so may the rest of its block), or stop for good with a fault
    // (named by the block of code it happened in).
    void pause();
    void fail(const std::string& why);

    std::uint32_t reg(int id) const;
    std::uint32_t pc() const;
    bool thumb() const;
    // Reads and writes of RAM for the Board (the IAP's tables); false outside RAM.
    bool readRam(std::uint32_t address, std::span<std::uint8_t> into) const;
    bool writeRam(std::uint32_t address, std::span<const std::uint8_t> from);

    const std::string& fault() const { return faultText; }
    // An address as the log shows it.
    static std::string hex(std::uint64_t value);
    std::uint32_t flashEntry() const { return entered; }

    // Unicorn's callbacks, public only so that plain functions can reach them.
    std::uint64_t mmioRead(std::uint32_t address, unsigned size);
    void mmioWrite(std::uint32_t address, unsigned size, std::uint64_t value);
    void blockEntered(std::uint32_t address, std::uint32_t size);
    bool invalidAccess(int type, std::uint64_t address, int size);
    void interrupt(std::uint32_t number);

    // A peripheral page, as Unicorn's callbacks are given it.
    struct Page {
        ArmCore* core;
        std::uint32_t base;
    };

private:
    uc_struct* uc = nullptr;
    Board& board;
    std::span<std::uint8_t> ramBytes;
    std::uint32_t ramStart;
    std::uint32_t flashSize;
    std::vector<std::uint8_t> bootRom;
    std::vector<std::unique_ptr<Page>> pages;
    std::uint32_t resumeAt = 0;
    bool resumeThumb = false;
    std::optional<Stop> stopping;
    bool iapCalled = false;
    // The block of code that runs, as it started.
    std::uint32_t block = 0;
    std::uint64_t budget = 0;
    std::string faultText;
    std::uint32_t entered = 0;

    void stopWith(const std::string& fault);
};

} // namespace sparwick::sim
