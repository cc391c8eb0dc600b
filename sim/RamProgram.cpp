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
// Instructions in one run of the emulator, and how many may pass without touching the
// UART before the code counts as run away (about 1.7 s of a core at 58.98 MHz).
constexpr std::uint64_t sliceInstructions = 2'000'000;
constexpr std::uint64_t quietLimit = 100'000'000;
// Reads of the line status that find nothing before the emulator leaves the code waiting.
constexpr std::uint32_t idlePollsBeforePause = 8;
// The IAP calls' own use of the top of RAM.
constexpr std::uint32_t iapScratchSize = 32;

} // namespace

RamProgram::RamProgram(std::uint32_t address, bool thumb, std::vector<std::uint8_t> ram,
                       FlashMemory& flashMemory, Uart& uartLine, std::uint32_t bootLoaderBaud,
                       std::uint32_t crystalHz, FaultInjector& faults, BootLoaderPort& port,
                       TrafficLog* trafficLog)
    : flash(flashMemory)
    , line(uartLine)
    , log(trafficLog)
    , ramBytes(std::move(ram))
    , flashView(flashMemory.bytes().begin(), flashMemory.bytes().end())
    , clocks(crystalHz)
    , uart(uartLine, bootLoaderBaud, clocks.peripheralClockHz())
    , blockTap(faults)
    , iap(flashMemory, ramBytes, faults, port, trafficLog) {
    // Unicorn maps whole pages: the flash's copy is rounded up, the rest unreadable.
    flashView.resize((flashView.size() + pageSize - 1) / pageSize * pageSize, 0xFF);
    ArmCore::Board& board = *this;
    core = std::make_unique<ArmCore>(ramBytes, isp::ramBase, std::span(flashView),
                                     std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                                         {UartRegisters::base, UartRegisters::size},
                                         {SystemControl::base, SystemControl::size},
                                         {pinConnectBase, pageSize}},
                                     board);
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
    const ArmCore::Stop stop = core->run(sliceInstructions);
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
        quietInstructions += sliceInstructions;
        if (quietInstructions >= quietLimit) {
            die("no UART activity for " + std::to_string(quietLimit) + " instructions, pc " +
                ArmCore::hex(core->pc()));
            return false;
        }
        return true;
    case ArmCore::Stop::enteredFlash:
        current = State::firmwareStarted;
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
        quietInstructions = 0;
        const std::uint32_t value =
            uart.read(address - UartRegisters::base, clocks.peripheralClockHz());
        if (uart.idlePolls() >= idlePollsBeforePause) {
            // The emulator stops before the read completes and runs it again on resume:
            // a status read, which changes nothing. The next run gets as many reads.
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
        quietInstructions = 0;
        uart.write(address - UartRegisters::base, value, clocks.peripheralClockHz());
    } else if (address >= SystemControl::base &&
               address < SystemControl::base + SystemControl::size) {
        clocks.write(address - SystemControl::base, value);
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
    std::array<std::uint8_t, 16> words{};
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
        // The flash operations work in the top 32 bytes of RAM.
        for (std::size_t i = ramBytes.size() - iapScratchSize; i < ramBytes.size(); ++i) {
            noise = noise * 1664525u + 1013904223u;
            ramBytes[i] = static_cast<std::uint8_t>(noise >> 24);
        }
    }
}

void RamProgram::syncFlash(std::uint32_t offset, std::uint32_t size) {
    const auto bytes = flash.bytes().subspan(offset, size);
    std::copy(bytes.begin(), bytes.end(), flashView.begin() + offset);
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
