#include "sim/UartRegisters.h"

#include "sim/BootLoaderConstants.h"

#include <string>

namespace sparwick::sim {

namespace {

constexpr std::uint32_t rbrThrDll = 0x00;
constexpr std::uint32_t ierDlm = 0x04;
constexpr std::uint32_t iirFcr = 0x08;
constexpr std::uint32_t lcrRegister = 0x0C;
constexpr std::uint32_t lsrRegister = 0x14;
constexpr std::uint32_t scrRegister = 0x1C;
constexpr std::uint32_t fdrRegister = 0x28;

constexpr std::uint32_t lsrDataReady = 0x01;
constexpr std::uint32_t lsrTransmitHoldingEmpty = 0x20;
constexpr std::uint32_t lsrTransmitterEmpty = 0x40;
// IIR with no interrupt pending and the FIFOs on.
constexpr std::uint32_t iirIdle = 0xC1;

// Two ends more than this far apart in rate do not understand each other: a frame's last
// bit is sampled half a bit off after about 5 % over ten bits.
constexpr double rateTolerance = 0.03;

char garbled(char byte) {
    const auto value = static_cast<std::uint8_t>(byte);
    return static_cast<char>(static_cast<std::uint8_t>(value * 37u + 0x5B) ^ 0xA4);
}

} // namespace

UartRegisters::UartRegisters(Uart& uartLine, std::uint32_t bootLoaderBaud,
                             std::uint32_t peripheralClockHz)
    : line(uartLine) {
    const std::uint32_t divisor =
        bootLoaderBaud == 0 ? 0 : peripheralClockHz / (16 * bootLoaderBaud);
    dll = divisor & 0xFF;
    dlm = (divisor >> 8) & 0xFF;
}

std::uint32_t UartRegisters::baud(std::uint32_t peripheralClockHz) const {
    const std::uint32_t divisor = dlm << 8 | dll;
    const std::uint32_t divAdd = fdr & 0xF;
    const std::uint32_t mul = (fdr >> 4) & 0xF;
    if (divisor == 0 || mul == 0) {
        return 0;
    }
    // pclk / (16 x divisor x (1 + DIVADDVAL / MULVAL)).
    const std::uint64_t denominator = std::uint64_t{16} * divisor * (mul + divAdd);
    return static_cast<std::uint32_t>(std::uint64_t{peripheralClockHz} * mul / denominator);
}

bool UartRegisters::mismatched(std::uint32_t peripheralClockHz) const {
    const double device = baud(peripheralClockHz);
    if (hostBaud == 0) {
        return false;
    }
    const double host = hostBaud;
    return device < host * (1 - rateTolerance) || device > host * (1 + rateTolerance);
}

std::uint32_t UartRegisters::read(std::uint32_t offset, std::uint32_t peripheralClockHz) {
    if (offset != lsrRegister) {
        polls = 0;
    }
    switch (offset) {
    case rbrThrDll: {
        if (divisorLatches()) {
            return dll;
        }
        const auto byte = line.takeInput(now);
        if (!byte) {
            return 0;
        }
        const auto value =
            static_cast<std::uint8_t>(mismatched(peripheralClockHz) ? garbled(*byte) : *byte);
        return receiveTap ? receiveTap(value) : value;
    }
    case ierDlm:
        return divisorLatches() ? dlm : ier;
    case iirFcr:
        return iirIdle;
    case lcrRegister:
        return lcr;
    case lsrRegister: {
        const bool ready = line.inputReady(now);
        polls = ready ? 0 : polls + 1;
        const std::size_t pending = line.transmitPending();
        transmitterFull = pending >= isp::uartFifoSize;
        return (ready ? lsrDataReady : 0) |
               (pending < isp::uartFifoSize ? lsrTransmitHoldingEmpty : 0) |
               (pending == 0 ? lsrTransmitterEmpty : 0);
    }
    case scrRegister:
        return scr;
    case fdrRegister:
        return fdr;
    default:
        return 0;
    }
}

void UartRegisters::write(std::uint32_t offset, std::uint32_t value,
                          std::uint32_t peripheralClockHz) {
    polls = 0;
    value &= 0xFF;
    const std::uint32_t rateBefore = baud(peripheralClockHz);
    change(offset, value, peripheralClockHz);
    // A byte is sent as it is shifted out, not as it is written: what has not left yet
    // when the rate changes reaches the host at neither rate.
    if (baud(peripheralClockHz) != rateBefore) {
        rateChanged();
    }
}

void UartRegisters::rateChanged() {
    if (line.transmitPending() > 0) {
        line.changePending(garbled);
    }
}

void UartRegisters::change(std::uint32_t offset, std::uint32_t value,
                           std::uint32_t peripheralClockHz) {
    switch (offset) {
    case rbrThrDll:
        if (divisorLatches()) {
            dll = value;
        } else {
            const char byte = static_cast<char>(value);
            const std::uint32_t rate = baud(peripheralClockHz);
            // Without a rate nothing leaves the shift register.
            if (rate != 0) {
                line.transmit(std::string(1, mismatched(peripheralClockHz) ? garbled(byte) : byte));
            }
        }
        return;
    case ierDlm:
        (divisorLatches() ? dlm : ier) = value;
        return;
    case lcrRegister:
        lcr = value;
        return;
    case scrRegister:
        scr = value;
        return;
    case fdrRegister:
        fdr = value;
        return;
    default:
        // FCR: the FIFOs are always on; what is in them stays.
        return;
    }
}

} // namespace sparwick::sim
