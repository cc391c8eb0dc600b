#include "tools/FirmwareGenerator.h"

#include <array>
#include <random>
#include <string_view>

namespace sparwick::tools {
namespace {

using Words = std::vector<std::uint32_t>;

constexpr std::uint32_t ldrPcVector = 0xE59FF018;  // LDR PC, [PC, #24]
constexpr std::uint32_t branchToSelf = 0xEAFFFFFE; // B .
constexpr std::uint32_t ldrLiteral = 0xE59F0000;   // LDR Rd, [PC, #offset]
constexpr std::uint32_t branchLink = 0xEB000000;   // BL
constexpr std::uint32_t branchNotEqual = 0x1A000000;
constexpr std::uint32_t pushWork = 0xE92D40F0; // STMFD SP!, {R4-R7, LR}
constexpr std::uint32_t popWork = 0xE8BD80F0;  // LDMFD SP!, {R4-R7, PC}

// Handlers in vector order: reset, undefined, SWI, prefetch abort, data abort, reserved,
// IRQ, FIQ. The exception handlers are the park-in-a-loop stubs of a build that has no
// handlers of its own; they sit at 0x40-0x54 and reset code follows at 0x58.
constexpr std::array<std::uint32_t, 8> handlers{0x58, 0x40, 0x44, 0x48, 0x4C, 0, 0x50, 0x54};
constexpr int stubCount = 6;

// Start-up gives each processor mode its stack, carved downwards from the top of the
// 32 KB of on-chip RAM: the CPSR control byte (IRQ and FIQ masked, except in the system
// mode main runs in) and the encoded size to step down after it.
constexpr std::uint32_t ramTop = 0x40008000;
struct ModeStack {
    std::uint32_t control;
    std::uint32_t size; // ARM rotated immediate: 0xC01 is 0x100, 0xB01 is 0x400
};
constexpr std::array<ModeStack, 6> modeStacks{{
    {0xDB, 0xC01}, // undefined
    {0xD7, 0xC01}, // abort
    {0xD1, 0xC01}, // FIQ
    {0xD2, 0xB01}, // IRQ
    {0xD3, 0xB01}, // supervisor
    {0x1F, 0},     // system
}};

// Function bodies: data-processing and load/store instructions on R0-R7, condition
// always; the random bits choose registers, immediates and offsets.
struct Template {
    std::uint32_t base;
    std::uint32_t randomBits;
};
constexpr std::array<Template, 10> bodyInstructions{{
    {0xE3A00000, 0x000070FF}, // MOV Rd, #imm8
    {0xE2800000, 0x000770FF}, // ADD Rd, Rn, #imm8
    {0xE2400000, 0x000770FF}, // SUB Rd, Rn, #imm8
    {0xE0800000, 0x00077007}, // ADD Rd, Rn, Rm
    {0xE2000000, 0x000770FF}, // AND Rd, Rn, #imm8
    {0xE3800000, 0x000770FF}, // ORR Rd, Rn, #imm8
    {0xE3500000, 0x000700FF}, // CMP Rn, #imm8
    {0xE1A00000, 0x00007F87}, // MOV Rd, Rm, LSL #n
    {0xE5900000, 0x000770FC}, // LDR Rd, [Rn, #imm]
    {0xE5800000, 0x000770FC}, // STR Rd, [Rn, #imm]
}};

// Peripheral blocks of the LPC2000 that code loads from its literal pools.
constexpr std::array<std::uint32_t, 8> peripherals{
    0xE0004000, // timer 0
    0xE000C000, // UART0
    0xE0010000, // UART1
    0xE0028000, // GPIO port 0
    0xE002C000, // pin connect block
    0xE0034000, // ADC
    0xE01FC000, // system control block
    0xFFFFF000, // vectored interrupt controller
};

constexpr std::array<std::string_view, 12> messages{
    "UART0 ready\r\n",
    "Watchdog reset\r\n",
    "Configuration checksum error",
    "Sensor offset out of range",
    "ADC channel %d: %u\r\n",
    "Calibration table v2",
    "Relay %d on\r\n",
    "Relay %d off\r\n",
    "Self test passed\r\n",
    "Self test failed: %s\r\n",
    "Supply voltage low",
    "Boot count %lu\r\n",
};

std::uint32_t here(const Words& w) {
    return static_cast<std::uint32_t>(w.size() * 4);
}

// A branch from the word at from to to; the offset counts words from from + 8.
std::uint32_t branch(std::uint32_t opcode, std::uint32_t from, std::uint32_t to) {
    return opcode | (((to - from - 8) >> 2) & 0x00FFFFFF);
}

void appendStartup(Words& w) {
    w.push_back(ldrLiteral); // LDR R0, =ramTop; offset set below
    const std::size_t load = w.size() - 1;
    for (const ModeStack& mode : modeStacks) {
        w.push_back(0xE321F000 | mode.control); // MSR CPSR_c, #control
        w.push_back(0xE1A0D000);                // MOV SP, R0
        if (mode.size != 0) {
            w.push_back(0xE2400000 | mode.size); // SUB R0, R0, #size
        }
    }
    const std::size_t callMain = w.size();
    w.push_back(0);
    w.push_back(branchToSelf); // main does not return
    w[load] |= here(w) - static_cast<std::uint32_t>(load * 4) - 8;
    w.push_back(ramTop);
    w[callMain] = branch(branchLink, static_cast<std::uint32_t>(callMain * 4), here(w));
}

// A function that saves its work registers, calls functions made before it, loads
// peripheral and string addresses from a pool after its return, and may loop.
void appendFunction(Words& w, std::mt19937& rng, std::vector<std::uint32_t>& functions,
                    const std::vector<std::uint32_t>& strings) {
    const std::uint32_t start = here(w);
    w.push_back(pushWork);
    std::vector<std::pair<std::size_t, std::uint32_t>> pool; // loading word, value
    const std::uint32_t length = 4 + rng() % 20;
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint32_t pick = rng() % 8;
        if (pick == 0 && !functions.empty()) {
            const std::uint32_t callee = functions[rng() % functions.size()];
            w.push_back(branch(branchLink, here(w), callee));
        } else if (pick == 1) {
            const bool text = !strings.empty() && rng() % 2 == 0;
            const std::uint32_t value =
                text ? strings[rng() % strings.size()] : peripherals[rng() % peripherals.size()];
            pool.emplace_back(w.size(), value);
            w.push_back(ldrLiteral | (rng() & 7) << 12);
        } else {
            const Template& t = bodyInstructions[rng() % bodyInstructions.size()];
            w.push_back(t.base | (rng() & t.randomBits));
        }
    }
    if (rng() % 2 == 0) {
        w.push_back(branch(branchNotEqual, here(w), start + 4));
    }
    w.push_back(popWork);
    for (const auto& [index, value] : pool) {
        w[index] |= here(w) - static_cast<std::uint32_t>(index * 4) - 8;
        w.push_back(value);
    }
    functions.push_back(start);
}

// NUL-terminated and word-aligned, as a compiler lays out constant strings.
void appendString(Words& w, std::string_view text, std::vector<std::uint32_t>& strings) {
    strings.push_back(here(w));
    for (std::size_t i = 0; i <= text.size(); i += 4) {
        std::uint32_t word = 0;
        for (std::size_t b = 0; b < 4 && i + b < text.size(); ++b) {
            word |= std::uint32_t{static_cast<unsigned char>(text[i + b])} << (8 * b);
        }
        w.push_back(word);
    }
}

// A rising curve, such as a sensor's calibration table.
void appendTable(Words& w, std::mt19937& rng) {
    std::uint32_t value = rng() % 1024;
    for (std::uint32_t count = 16 + rng() % 48; count > 0; --count) {
        value += 1 + rng() % 4096;
        w.push_back(value);
    }
}

} // namespace

std::vector<std::uint8_t> makeFirmwareImage(std::size_t size, std::uint32_t seed) {
    Words w(8, ldrPcVector);
    w[5] = 0;
    w.insert(w.end(), handlers.begin(), handlers.end());
    w.insert(w.end(), stubCount, branchToSelf);
    appendStartup(w);

    std::mt19937 rng(seed);
    std::vector<std::uint32_t> functions;
    std::vector<std::uint32_t> strings;
    appendFunction(w, rng, functions, strings); // main, which start-up calls
    while (w.size() * 4 < size) {
        switch (rng() % 8) {
        case 0: {
            const std::uint32_t first = rng() % messages.size();
            for (std::uint32_t i = 0, count = 2 + rng() % 4; i < count; ++i) {
                appendString(w, messages[(first + i) % messages.size()], strings);
            }
            break;
        }
        case 1:
            appendTable(w, rng);
            break;
        default:
            appendFunction(w, rng, functions, strings);
        }
    }

    std::vector<std::uint8_t> image;
    image.reserve(w.size() * 4);
    for (std::uint32_t word : w) {
        for (int b = 0; b < 4; ++b) {
            image.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
        }
    }
    image.resize(size);
    return image;
}

} // namespace sparwick::tools
