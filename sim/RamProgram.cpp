#include "sim/RamProgram.h"

#include "sim/BootLoaderConstants.h"
#include "sim/FlashMemory.h"
#include "sim/TrafficLog.h"

#include <algorithm>
#include <array>
#include <unicorn/unicorn.h>

namespace sparwick::sim {

namespace {

// The pin connect block: P0.0 and P0.1 are UART0's already, as the boot loader left them.
constexpr std::uint32_t pinConnectBase = 0xE002C000;
constexpr std::uint32_t pageSize = 0x1000;
// The code one run of the emulator may run, and how much may run without touching the
// UART before the code counts as run away, in bytes of instructions: 100 million ARM
// instructions, about 1.7 s of a core at 58.98 MHz (twice as many in Thumb state).
constexpr std::uint64_t sliceBytes = 8'000'000;
constexpr std::uint64_t quietLimit = 400'000'000;
// Reads of the line status that find nothing before the emulator leaves the code waiting.
constexpr std::uint32_t idlePollsBeforePause = 8;
// The IAP calls' own use of the top of RAM.
constexpr std::uint32_t iapScratchSize = 32;
constexpr std::uint32_t iapStackUse = 128;
// What code reads at 0 to 63 is chosen by MEMMAP: the boot block's vectors (each a load
// of the pc from the word 32 bytes on, into the boot block), the user flash's, or RAM's.
constexpr std::size_t vectorBytes = 64;
constexpr std::uint32_t loadPcFromTable = 0xE59FF018;
constexpr std::uint32_t bootBlockEntry = 0x7FFFE000;
constexpr std::uint32_t ramMode = 2;

} // namespace

RamProgram::RamProgram(std::uint32_t address, bool thumb, std::vector<std::uint8_t> ram,
                       FlashMemory& flashMemory, Uart& uartLine, std::uint32_t bootLoaderBaud,
                       const SystemControl& partClocks, FaultInjector& faults, BootLoaderPort& port,
                       TrafficLog* trafficLog, std::uint32_t bootLoaderFdr)
    : flash(flashMemory)
    , line(uartLine)
    , log(trafficLog)
    , ramBytes(std::move(ram))
    , flashView(flashMemory.bytes().begin(), flashMemory.bytes().end())
    , clocks(partClocks)
    , uart(uartLine, bootLoaderBaud, clocks.peripheralClockHz())
    , blockTap(faults)
    , iap(flashMemory, ramBytes, faults, port, trafficLog) {
    // Unicorn maps whole pages: the flash's copy is rounded up, the rest unreadable.
    flashView.resize((flashView.size() + pageSize - 1) / pageSize * pageSize, 0xFF);
    mapVectors();
    ArmCore::Board& board = *this;
    core = std::make_unique<ArmCore>(ramBytes, isp::ramBase, std::span(flashView),
                                     std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                                         {UartRegisters::base, UartRegisters::size},
                                         {SystemControl::base, SystemControl::size},
                                         {pinConnectBase, pageSize}},
                                     board);
    uart.setFractionalDivider(bootLoaderFdr);
    uart.tapReceived([this](std::uint8_t byte) { return blockTap.received(byte); });
    core->start(address, thumb);
    line.setTransparent(true);
    lastBaud = baud();
    event("code in RAM runs from " + std::to_string(address) + (thumb ? " (Thumb)" : " (ARM)") +
          "; UART0 at " + std::to_string(lastBaud) + " baud");
}

RamProgram::~RamProgram() = default;

bool RamProgram::serve(Clock::time_point now, std::uint32_t hostBaud) {
    if (current != State::running) {
        return false;
    }
    uart.connect(now, hostBaud);
    const ArmCore::Stop stop = core->run(sliceBytes);
    for (const std::string& warning : clocks.takeWarnings()) {
        event(warning);
    }
    if (baud() != lastBaud) {
        lastBaud = baud();
        event("UART0 at " + std::to_string(lastBaud) + " baud (peripheral clock " +
              std::to_string(clocks.peripheralClockHz()) + " Hz)");
    }
    switch (stop) {
    case ArmCore::Stop::paused:
        return false;
    case ArmCore::Stop::sliceEnded:
        quietBytes += sliceBytes;
        if (quietBytes >= quietLimit) {
            die("no UART activity in " + std::to_string(quietLimit) + " bytes of code, pc " +
                ArmCore::hex(core->pc()));
            return false;
        }
        return true;
    case ArmCore::Stop::enteredFlash:
        current = State::firmwareStarted;
        // What the host sent to the code, for the line's floor in scripts/bench.
        event("the code in RAM received " + std::to_string(blockTap.count()) + " bytes");
        event("the code in RAM jumps to " + std::to_string(core->flashEntry()) +
              " in the flash (memory map " + std::to_string(clocks.memoryMap()) +
              (flash.holdsValidUserCode() ? "): valid user code"
                                          : "): no valid user code (vectors do not sum to 0)"));
        return false;
    case ArmCore::Stop::fault:
        die(core->fault());
        return false;
    }
    return false;
}

std::uint32_t RamProgram::read(std::uint32_t address, unsigned size) {
    if (address >= UartRegisters::base && address < UartRegisters::base + UartRegisters::size) {
        quietBytes = 0;
        const std::uint32_t value =
            uart.read(address - UartRegisters::base, clocks.peripheralClockHz());
        if (uart.idlePolls() >= idlePollsBeforePause) {
            // The read completes and the emulator stops before the next block of code; the
            // code goes on from there. The next run gets as many reads.
            uart.resetIdlePolls();
            core->pause();
        }
        return value;
    }
    if (address >= SystemControl::base && address < SystemControl::base + SystemControl::size) {
        return clocks.read(address - SystemControl::base);
    }
    (void)size;
    return 0;
}

void RamProgram::write(std::uint32_t address, unsigned, std::uint32_t value) {
    if (address >= UartRegisters::base && address < UartRegisters::base + UartRegisters::size) {
        quietBytes = 0;
        uart.write(address - UartRegisters::base, value, clocks.peripheralClockHz());
    } else if (address >= SystemControl::base &&
               address < SystemControl::base + SystemControl::size) {
        const std::uint32_t mapped = clocks.memoryMap();
        const std::uint32_t rate = baud();
        clocks.write(address - SystemControl::base, value);
        if (baud() != rate) {
            uart.rateChanged();
        }
        if (clocks.pllConnectedUnlocked()) {
            core->fail("PLL connected before it locked");
        }
        if (clocks.memoryMap() != mapped) {
            mapVectors();
        }
    }
}

void RamProgram::callIap() {
    const std::uint32_t tableAddress = core->reg(UC_ARM_REG_R0);
    const std::uint32_t resultAddress = core->reg(UC_ARM_REG_R1);
    std::array<std::uint8_t, 20> table{};
    if (!core->readRam(tableAddress, table)) {
        core->fail("IAP command table outside RAM");
        return;
    }
    std::array<std::uint32_t, 5> command{};
    for (std::size_t i = 0; i < command.size(); ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            command[i] |= static_cast<std::uint32_t>(table[i * 4 + b]) << (8 * b);
        }
    }
    const IapService::Result result = iap.call(command, clocks.coreClockHz() / 1000);
    std::array<std::uint8_t, 20> words{};
    for (std::size_t i = 0; i < result.words.size(); ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            words[i * 4 + b] = static_cast<std::uint8_t>(result.words[i] >> (8 * b));
        }
    }
    if (!core->writeRam(resultAddress, words)) {
        core->fail("IAP result table outside RAM");
        return;
    }
    if (result.changedSize > 0) {
        syncFlash(result.changedOffset, result.changedSize);
    }
    // The boot ROM works in the top 32 bytes of RAM and on the caller's stack below its
    // stack pointer: code that keeps anything there loses it.
    scramble(ramBytes.size() - iapScratchSize, iapScratchSize);
    const std::uint32_t sp = core->reg(UC_ARM_REG_SP);
    if (sp > isp::ramBase && sp - isp::ramBase <= ramBytes.size()) {
        const std::uint32_t top = sp - isp::ramBase;
        const std::uint32_t size = std::min(iapStackUse, top);
        scramble(top - size, size);
    }
}

void RamProgram::scramble(std::size_t offset, std::size_t size) {
    for (std::size_t i = offset; i < offset + size; ++i) {
        noise = noise * 1664525u + 1013904223u;
        ramBytes[i] = static_cast<std::uint8_t>(noise >> 24);
    }
}

void RamProgram::syncFlash(std::uint32_t offset, std::uint32_t size) {
    const auto bytes = flash.bytes().subspan(offset, size);
    std::copy(bytes.begin(), bytes.end(), flashView.begin() + offset);
    if (offset < vectorBytes) {
        mapVectors();
    }
}

void RamProgram::mapVectors() {
    const std::uint32_t mode = clocks.memoryMap();
    if (mode == SystemControl::userFlashMode) {
        const auto bytes = flash.bytes().first(vectorBytes);
        std::copy(bytes.begin(), bytes.end(), flashView.begin());
    } else if (mode == ramMode) {
        std::copy_n(ramBytes.begin(), vectorBytes, flashView.begin());
    } else {
        for (std::size_t i = 0; i < vectorBytes; ++i) {
            const std::uint32_t word = i < vectorBytes / 2 ? loadPcFromTable : bootBlockEntry;
            flashView[i] = static_cast<std::uint8_t>(word >> (8 * (i % 4)));
        }
    }
}

void RamProgram::die(const std::string& why) {
    current = State::dead;
    faultText = why;
    event("code in RAM ran away: " + why + "; the device is dead until a power cycle");
}

void RamProgram::event(const std::string& text) {
    if (log != nullptr) {
        log->event(text);
    }
}

} // namespace sparwick::sim
