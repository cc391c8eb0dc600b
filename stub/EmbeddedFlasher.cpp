#include "stub/EmbeddedFlasher.h"

#ifndef SPARWICK_FLASHER_FILE
#error "SPARWICK_FLASHER_FILE names the flasher's image; the build sets it"
#endif

// Linked in on every platform as the firmware image is on Linux: read-only, word-aligned,
// its length beside it, hidden in the executable that carries it (PE has no such thing).
#ifdef _WIN32
#define SPARWICK_READ_ONLY ".section .rdata,\"dr\"\n"
#define SPARWICK_PREVIOUS ".text\n"
#define SPARWICK_HIDE(symbol) ""
#define SPARWICK_HIDDEN
#else
#define SPARWICK_READ_ONLY ".pushsection .rodata\n"
#define SPARWICK_PREVIOUS ".popsection\n"
#define SPARWICK_HIDE(symbol) ".hidden " symbol "\n"
#define SPARWICK_HIDDEN [[gnu::visibility("hidden")]]
#endif

// clang-format off
asm(SPARWICK_READ_ONLY
    ".balign 16\n"
    ".globl sparwick_flasher_bytes\n"
    SPARWICK_HIDE("sparwick_flasher_bytes")
    "sparwick_flasher_bytes:\n"
    ".incbin \"" SPARWICK_FLASHER_FILE "\"\n"
    "sparwick_flasher_end:\n"
    ".balign 4\n"
    ".globl sparwick_flasher_size\n"
    SPARWICK_HIDE("sparwick_flasher_size")
    "sparwick_flasher_size:\n"
    ".long sparwick_flasher_end - sparwick_flasher_bytes\n"
    SPARWICK_PREVIOUS);
// clang-format on

extern "C" {
SPARWICK_HIDDEN extern const std::uint8_t sparwick_flasher_bytes[];
SPARWICK_HIDDEN extern const std::uint32_t sparwick_flasher_size;
}

namespace sparwick::turbo {

std::span<const std::uint8_t> embeddedFlasher() {
    return {sparwick_flasher_bytes, sparwick_flasher_size};
}

} // namespace sparwick::turbo
