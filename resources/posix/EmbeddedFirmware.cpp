#include "resources/EmbeddedFirmware.h"

#ifndef SPARWICK_FIRMWARE_FILE
#error "SPARWICK_FIRMWARE_FILE names the image to embed; the build sets it"
#endif

// The image goes into read-only data word-aligned, so that its vector words can be read
// in place, and the assembler records its length beside it. Hidden: the bytes belong to
// the executable they are linked into.
asm(".pushsection .rodata\n"
    ".balign 16\n"
    ".globl sparwick_firmware_bytes\n"
    ".hidden sparwick_firmware_bytes\n"
    "sparwick_firmware_bytes:\n"
    ".incbin \"" SPARWICK_FIRMWARE_FILE "\"\n"
    "sparwick_firmware_end:\n"
    ".balign 4\n"
    ".globl sparwick_firmware_size\n"
    ".hidden sparwick_firmware_size\n"
    "sparwick_firmware_size:\n"
    ".long sparwick_firmware_end - sparwick_firmware_bytes\n"
    ".popsection\n");

extern "C" {
[[gnu::visibility("hidden")]] extern const std::uint8_t sparwick_firmware_bytes[];
[[gnu::visibility("hidden")]] extern const std::uint32_t sparwick_firmware_size;
}

namespace sparwick {

std::span<const std::uint8_t> embeddedFirmware() {
    return {sparwick_firmware_bytes, sparwick_firmware_size};
}

} // namespace sparwick
