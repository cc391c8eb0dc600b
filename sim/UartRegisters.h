#pragma once

#include "sim/Uart.h"

#include <cstdint>
#include <functional>
#include <utility>

namespace sparwick::sim {

// UART0's registers as user code sees them, over the line model that the boot loader
// used: receive and transmit through the same Uart, the rate from the divisor latches
// (and the fractional divider) at the peripheral clock. A host whose end runs at another
// rate gets garbage, and sends it: each byte is changed on the way, as a receiver
// sampling at the wrong rate would change it.
class UartRegisters {
public:
    static constexpr std::uint32_t base = 0xE000C000;
    static constexpr std::uint32_t size = 0x1000;

    // The state the boot loader leaves after talking at this rate with the peripheral
    // clock at a quarter of the crystal: 8N1, divisor latches set, FIFOs on.
    UartRegisters(Uart& line, std::uint32_t bootLoaderBaud, std::uint32_t peripheralClockHz);

    // Each run of user code says what time it is and what the host's end runs at.
    void connect(Uart::Clock::time_point time, std::uint32_t hostBaudRate) {
        now = time;
        hostBaud = hostBaudRate;
    }
    std::uint32_t read(std::uint32_t offset, std::uint32_t peripheralClockHz);
    void write(std::uint32_t offset, std::uint32_t value, std::uint32_t peripheralClockHz);
    // Sees each byte the code takes from the receive buffer and gives what it reads.
    void tapReceived(std::function<std::uint8_t(std::uint8_t)> tap) { receiveTap = std::move(tap); }

    // The rate the divisors give at this peripheral clock; 0 with a divisor of 0.
    std::uint32_t baud(std::uint32_t peripheralClockHz) const;
    std::uint32_t stopBits() const { return (lcr & 0x04) != 0 ? 2 : 1; }
    // The peripheral clock changed the rate under what waits to leave.
    void rateChanged();
    // The fractional divider as the boot loader left it (the /01 parts have one).
    void setFractionalDivider(std::uint32_t value) { fdr = value & 0xFF; }
    // Consecutive reads of the line status that found nothing to receive: user code that
    // waits for the line, which the emulator leaves to run other things.
    std::uint32_t idlePolls() const { return polls; }
    void resetIdlePolls() { polls = 0; }
    // The last read of the line status found the transmitter full: code that polls it
    // waits for room there, which the line makes without any byte from the host.
    bool waitsForTransmitter() const { return transmitterFull; }

private:
    void change(std::uint32_t offset, std::uint32_t value, std::uint32_t peripheralClockHz);
    bool divisorLatches() const { return (lcr & 0x80) != 0; }
    bool mismatched(std::uint32_t peripheralClockHz) const;

    Uart& line;
    Uart::Clock::time_point now{};
    std::uint32_t hostBaud = 0;
    std::uint32_t dll = 0;
    std::uint32_t dlm = 0;
    std::uint32_t ier = 0;
    std::uint32_t lcr = 0x03;
    std::uint32_t scr = 0;
    // The fractional divider's reset value: DIVADDVAL 0, MULVAL 1.
    std::uint32_t fdr = 0x10;
    std::uint32_t polls = 0;
    bool transmitterFull = false;
    std::function<std::uint8_t(std::uint8_t)> receiveTap;
};

} // namespace sparwick::sim
