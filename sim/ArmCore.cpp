#include "sim/ArmCore.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <dlfcn.h>
#include <stdexcept>
#include <unicorn/unicorn.h>

#if defined(__SANITIZE_ADDRESS__)
// Unicorn 2.0.1 leaks a small bitmap of each RAM page that it saw written after it had
// translated code there (code that writes near itself, as the flasher's buffers are); the
// leak is the library's and ends with the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libunicorn.so\n";
}
#endif

namespace sparwick::sim {

namespace {

constexpr std::uint32_t pageSize = 0x1000;
// The IAP entry's halfword, without its Thumb bit.
constexpr std::uint32_t iapAddress = 0x7FFFFFF0;
constexpr std::uint32_t thumbBit = 1u << 5;
// A mode for the CPSR: supervisor, IRQ and FIQ off, as the boot loader runs.
constexpr std::uint32_t supervisorMode = 0xD3;
// QEMU's numbers for the ARM's exceptions, as Unicorn reports them.
constexpr std::uint32_t undefinedInstruction = 1;
constexpr std::uint32_t softwareInterrupt = 2;
constexpr std::uint32_t prefetchAbort = 3;
constexpr std::uint32_t dataAbort = 4;

// Unicorn is loaded when the first core is made, not linked: its tables take tens of
// thousands of relocations, which every start of a program that links it would pay, and
// only a simulated part that runs code needs it.
struct Unicorn {
    decltype(&::uc_open) open;
    decltype(&::uc_close) close;
    decltype(&::uc_ctl) ctl;
    decltype(&::uc_mem_map_ptr) memMapPtr;
    decltype(&::uc_mmio_map) mmioMap;
    decltype(&::uc_hook_add) hookAdd;
    decltype(&::uc_emu_start) emuStart;
    decltype(&::uc_emu_stop) emuStop;
    decltype(&::uc_reg_read) regRead;
    decltype(&::uc_reg_write) regWrite;
    decltype(&::uc_strerror) strerror;
};

template <typename Function>
void bind(void* library, const char* name, Function& into) {
    void* address = dlsym(library, name);
    if (address == nullptr) {
        throw std::runtime_error(std::string("ARM emulator: ") + SPARWICK_UNICORN_LIBRARY +
                                 " has no " + name);
    }
    into = reinterpret_cast<Function>(address);
}

Unicorn loadUnicorn() {
    // Kept for the life of the process, as a linked library would be.
    void* library = dlopen(SPARWICK_UNICORN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        throw std::runtime_error(std::string("ARM emulator: cannot load ") +
                                 SPARWICK_UNICORN_LIBRARY + " (" + dlerror() + ")");
    }
    Unicorn api{};
    bind(library, "uc_open", api.open);
    bind(library, "uc_close", api.close);
    bind(library, "uc_ctl", api.ctl);
    bind(library, "uc_mem_map_ptr", api.memMapPtr);
    bind(library, "uc_mmio_map", api.mmioMap);
    bind(library, "uc_hook_add", api.hookAdd);
    bind(library, "uc_emu_start", api.emuStart);
    bind(library, "uc_emu_stop", api.emuStop);
    bind(library, "uc_reg_read", api.regRead);
    bind(library, "uc_reg_write", api.regWrite);
    bind(library, "uc_strerror", api.strerror);
    return api;
}

const Unicorn& unicorn() {
    static const Unicorn api = loadUnicorn();
    return api;
}

void check(uc_err error, const char* what) {
    if (error != UC_ERR_OK) {
        throw std::runtime_error(std::string("ARM emulator: ") + what + ": " +
                                 unicorn().strerror(error));
    }
}

std::uint64_t readPage(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    const auto* page = static_cast<ArmCore::Page*>(user);
    return page->core->mmioRead(page->base + static_cast<std::uint32_t>(offset), size);
}

void writePage(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
    const auto* page = static_cast<ArmCore::Page*>(user);
    page->core->mmioWrite(page->base + static_cast<std::uint32_t>(offset), size, value);
}

bool invalidHook(uc_engine*, uc_mem_type type, std::uint64_t address, int size, std::int64_t,
                 void* user) {
    return static_cast<ArmCore*>(user)->invalidAccess(type, address, size);
}

void blockHook(uc_engine*, std::uint64_t address, std::uint32_t size, void* user) {
    static_cast<ArmCore*>(user)->blockEntered(static_cast<std::uint32_t>(address), size);
}

void interruptHook(uc_engine*, std::uint32_t number, void* user) {
    static_cast<ArmCore*>(user)->interrupt(number);
}

} // namespace

ArmCore::ArmCore(std::span<std::uint8_t> ram, std::uint32_t ramBase, std::span<std::uint8_t> flash,
                 const std::vector<std::pair<std::uint32_t, std::uint32_t>>& peripheralPages,
                 Board& theBoard)
    : board(theBoard)
    , ramBytes(ram)
    , ramStart(ramBase)
    , flashSize(static_cast<std::uint32_t>(flash.size()))
    , bootRom(bootRomSize, 0) {
    check(unicorn().open(UC_ARCH_ARM, UC_MODE_ARM, &uc), "open");
    try {
        // The TI925T is QEMU's ARMv4T core: what an ARM7TDMI does not have is undefined.
        check(unicorn().ctl(uc, UC_CTL_WRITE(UC_CTL_CPU_MODEL, 1), UC_CPU_ARM_TI925T), "cpu model");
        check(unicorn().memMapPtr(uc, ramBase, ram.size(), UC_PROT_ALL, ram.data()), "map RAM");
        check(unicorn().memMapPtr(uc, 0, flash.size(), UC_PROT_READ, flash.data()), "map flash");
        // Readable, not executable: a jump into it stops the core, which serves an IAP call
        // itself and returns to lr. No hook on code: with one, Unicorn keeps the program
        // counter only as that hook's instructions update it.
        check(unicorn().memMapPtr(uc, bootRomBase, bootRomSize, UC_PROT_READ, bootRom.data()),
              "map boot ROM");
        for (const auto& [base, size] : peripheralPages) {
            auto page = std::make_unique<Page>(Page{this, base});
            check(unicorn().mmioMap(uc, base, size, readPage, page.get(), writePage, page.get()),
                  "map peripherals");
            pages.push_back(std::move(page));
        }
        uc_hook hook{};
        // Every block of code as it starts, for the slice's count of the code run.
        check(unicorn().hookAdd(uc, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(blockHook), this,
                                1, 0),
              "block hook");
        check(unicorn().hookAdd(uc, &hook, UC_HOOK_MEM_INVALID,
                                reinterpret_cast<void*>(invalidHook), this, 1, 0),
              "memory hook");
        check(unicorn().hookAdd(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(interruptHook),
                                this, 1, 0),
              "exception hook");
    } catch (...) {
        unicorn().close(uc);
        throw;
    }
}

std::string ArmCore::hex(std::uint64_t value) {
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "0x%08llX", static_cast<unsigned long long>(value));
    return text.data();
}

ArmCore::~ArmCore() {
    unicorn().close(uc);
}

void ArmCore::start(std::uint32_t address, bool thumbState) {
    std::uint32_t cpsr = supervisorMode | (thumbState ? thumbBit : 0);
    unicorn().regWrite(uc, UC_ARM_REG_CPSR, &cpsr);
    resumeAt = address;
    resumeThumb = thumbState;
}

ArmCore::Stop ArmCore::run(std::uint64_t codeBytes) {
    if (stopping == Stop::fault || stopping == Stop::enteredFlash) {
        return *stopping;
    }
    budget = codeBytes;
    for (;;) {
        stopping.reset();
        iapCalled = false;
        const uc_err error =
            unicorn().emuStart(uc, resumeAt | (resumeThumb ? 1 : 0), 0xFFFFFFFF, 0, 0);
        resumeAt = pc();
        resumeThumb = thumb();
        if (stopping) {
            return *stopping;
        }
        if (!iapCalled && error != UC_ERR_OK) {
            faultText = (error == UC_ERR_INSN_INVALID ? std::string("undefined instruction")
                                                      : std::string(unicorn().strerror(error))) +
                        " at pc " + hex(resumeAt);
            stopping = Stop::fault;
            return Stop::fault;
        }
        if (!iapCalled) {
            return Stop::sliceEnded;
        }
        // The boot ROM's IAP entry: the call is served, and it returns to lr in the state
        // lr's low bit gives, as its "bx lr" would (the next start takes the state from
        // the address's low bit).
        board.callIap();
        if (stopping) {
            return *stopping;
        }
        const std::uint32_t lr = reg(UC_ARM_REG_LR);
        resumeAt = lr & ~1u;
        resumeThumb = (lr & 1) != 0;
    }
}

void ArmCore::pause() {
    if (!stopping) {
        stopping = Stop::paused;
    }
    unicorn().emuStop(uc);
}

void ArmCore::blockEntered(std::uint32_t address, std::uint32_t size) {
    block = address;
    if (size >= budget) {
        budget = 0;
        unicorn().emuStop(uc);
    } else {
        budget -= size;
    }
}

void ArmCore::fail(const std::string& why) {
    // Inside an access Unicorn keeps no exact program counter: the fault names the block of
    // code it happened in, or the IAP entry when it happened in an IAP call.
    stopWith(why +
             (iapCalled ? " at pc " + hex(iapAddress) : " in the block of code at " + hex(block)));
    unicorn().emuStop(uc);
}

void ArmCore::stopWith(const std::string& fault) {
    if (stopping != Stop::fault) {
        faultText = fault;
    }
    stopping = Stop::fault;
}

std::uint32_t ArmCore::reg(int id) const {
    std::uint32_t value = 0;
    unicorn().regRead(uc, id, &value);
    return value;
}

std::uint32_t ArmCore::pc() const {
    return reg(UC_ARM_REG_PC);
}

bool ArmCore::thumb() const {
    return (reg(UC_ARM_REG_CPSR) & thumbBit) != 0;
}

bool ArmCore::readRam(std::uint32_t address, std::span<std::uint8_t> into) const {
    if (address < ramStart || address - ramStart + std::uint64_t{into.size()} > ramBytes.size()) {
        return false;
    }
    std::copy_n(ramBytes.begin() + (address - ramStart), into.size(), into.begin());
    return true;
}

bool ArmCore::writeRam(std::uint32_t address, std::span<const std::uint8_t> from) {
    if (address < ramStart || address - ramStart + std::uint64_t{from.size()} > ramBytes.size()) {
        return false;
    }
    std::copy(from.begin(), from.end(), ramBytes.begin() + (address - ramStart));
    return true;
}

std::uint64_t ArmCore::mmioRead(std::uint32_t address, unsigned size) {
    return board.read(address, size);
}

void ArmCore::mmioWrite(std::uint32_t address, unsigned size, std::uint64_t value) {
    board.write(address, size, static_cast<std::uint32_t>(value));
}

bool ArmCore::invalidAccess(int type, std::uint64_t address, int size) {
    switch (type) {
    case UC_MEM_FETCH_PROT:
        if (address == iapAddress && thumb()) {
            iapCalled = true;
            unicorn().emuStop(uc);
            return false;
        }
        if (address == iapAddress) {
            fail("called the IAP entry in ARM state");
            return false;
        }
        if (address >= bootRomBase) {
            fail("entered the boot ROM at " + hex(address));
            return false;
        }
        if (address < flashSize) {
            // Execution leaves RAM for the flash: the firmware starts.
            entered = static_cast<std::uint32_t>(address);
            stopping = Stop::enteredFlash;
            unicorn().emuStop(uc);
            return false;
        }
        fail("fetch from non-executable memory at " + hex(address));
        return false;
    case UC_MEM_WRITE_PROT:
        fail("write of " + std::to_string(size) + " bytes to " +
             (address < flashSize ? "the flash" : "the boot ROM") + " at " + hex(address));
        return false;
    case UC_MEM_FETCH_UNMAPPED:
        fail("fetch from unmapped memory at " + hex(address));
        return false;
    default:
        fail("access of " + std::to_string(size) + " bytes outside memory at " + hex(address));
        return false;
    }
}

void ArmCore::interrupt(std::uint32_t number) {
    // An exception leaves the program counter at its instruction.
    const std::string at = " at pc " + hex(pc());
    switch (number) {
    case undefinedInstruction:
        stopWith("undefined instruction" + at);
        break;
    case softwareInterrupt:
        stopWith("software interrupt" + at);
        break;
    case prefetchAbort:
        stopWith("prefetch abort" + at);
        break;
    case dataAbort:
        stopWith("data abort" + at);
        break;
    default:
        stopWith("exception " + std::to_string(number) + at);
        break;
    }
    unicorn().emuStop(uc);
}

} // namespace sparwick::sim
