#pragma once

#include "sim/ArmCore.h"
#include "sim/FlasherBlockTap.h"
#include "sim/IapService.h"
#include "sim/SystemControl.h"
#include "sim/Uart.h"
#include "sim/UartRegisters.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sparwick::sim {

class BootLoaderPort;
class FaultInjector;
class FlashMemory;
class TrafficLog;

// Code that G started in RAM, run on the emulated ARM7 core with the part's peripherals
// that such code uses: UART0 on the device's line, the PLL and VPB divider that set its
// clock, the memory map, and the IAP calls on the device's flash. It stops when the code
// jumps into the flash (the firmware starts) or runs away; then the device is dead to the
// host until it is power-cycled.
class RamProgram final : private ArmCore::Board {
public:
    using Clock = std::chrono::steady_clock;

    enum class State { running, firmwareStarted, dead };

    // ram: the RAM as the boot loader left it; bootLoaderBaud: the rate the boot loader
    // talked at, which the UART keeps; partClocks: the board's crystal and PLL, as the
    // boot loader left them.
    RamProgram(std::uint32_t address, bool thumb, std::vector<std::uint8_t> ram, FlashMemory& flash,
               Uart& line, std::uint32_t bootLoaderBaud, const SystemControl& partClocks,
               FaultInjector& faults, BootLoaderPort& port, TrafficLog* log,
               std::uint32_t bootLoaderFdr);
    ~RamProgram() override;
    RamProgram(const RamProgram&) = delete;
    RamProgram& operator=(const RamProgram&) = delete;

    // Runs the code until it waits for the line, or for a slice; true when it should run
    // again at once. hostBaud: the rate of the host's end, 0 if unknown.
    bool serve(Clock::time_point now, std::uint32_t hostBaud);

    State state() const { return current; }
    // Paused on a full transmitter: to run again as soon as the line has taken a byte.
    bool waitsForTransmitter() const {
        return current == State::running && uart.waitsForTransmitter();
    }
    // How the code ran away, with its program counter.
    const std::string& fault() const { return faultText; }
    // The UART's rate and frame as the code has set them.
    std::uint32_t baud() const { return uart.baud(clocks.peripheralClockHz()); }
    std::uint32_t stopBits() const { return uart.stopBits(); }
    // The clocks as the code has set them.
    const SystemControl& systemControl() const { return clocks; }
    std::uint32_t sectorsErased() const { return iap.sectorsErased(); }
    std::uint32_t copiesMade() const { return iap.copiesMade(); }

private:
    // ArmCore::Board
    std::uint32_t read(std::uint32_t address, unsigned size) override;
    void write(std::uint32_t address, unsigned size, std::uint32_t value) override;
    void callIap() override;

    void syncFlash(std::uint32_t offset, std::uint32_t size);
    // What the memory map puts at 0 to 63 into the core's view of the flash.
    void mapVectors();
    // Bytes of RAM overwritten with what the boot ROM leaves there.
    void scramble(std::size_t offset, std::size_t size);
    void die(const std::string& why);
    void event(const std::string& text);

    FlashMemory& flash;
    Uart& line;
    TrafficLog* log;
    std::vector<std::uint8_t> ramBytes;
    // The core reads the flash from this copy, which follows every IAP change.
    std::vector<std::uint8_t> flashView;
    SystemControl clocks;
    UartRegisters uart;
    FlasherBlockTap blockTap;
    IapService iap;
    std::unique_ptr<ArmCore> core;
    State current = State::running;
    std::string faultText;
    std::uint64_t quietBytes = 0;
    std::uint32_t noise = 0x2545F491;
    std::uint32_t lastBaud = 0;
};

} // namespace sparwick::sim
