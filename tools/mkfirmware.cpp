// sparwick-mkfirmware OUTPUT [SIZE]: writes the stand-in firmware image, by default the
// one the program ships with (resources/firmware.bin).
#include "tools/FirmwareGenerator.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string_view>

namespace {

// Far beyond any LPC2000 flash; only here so that a slip of the keyboard cannot fill
// the disk.
constexpr std::size_t largestSize = 16 * 1024 * 1024;

constexpr std::string_view usage = "usage: sparwick-mkfirmware OUTPUT [SIZE]\n"
                                   "Writes a generated LPC2000 firmware image of SIZE bytes\n"
                                   "(default 241092, the shipped image) to OUTPUT.\n";

bool parseSize(std::string_view text, std::size_t& size) {
    const char* end = text.data() + text.size();
    auto [last, error] = std::from_chars(text.data(), end, size);
    return !text.empty() && error == std::errc{} && last == end && size <= largestSize;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << usage;
        return 0;
    }
    if (argc < 2 || argc > 3) {
        std::cerr << usage;
        return 2;
    }
    std::size_t size = sparwick::tools::shippedFirmwareSize;
    if (argc == 3 && !parseSize(argv[2], size)) {
        std::cerr << "sparwick-mkfirmware: SIZE must be a number of bytes from 0 to " << largestSize
                  << ", not \"" << argv[2] << "\"\n";
        return 2;
    }

    const std::vector<std::uint8_t> image = sparwick::tools::makeFirmwareImage(size);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    if (!out) {
        std::cerr << "sparwick-mkfirmware: cannot open " << argv[1] << " for writing\n";
        return 1;
    }
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        // A half-written image must not pass for a whole one.
        std::remove(argv[1]);
        std::cerr << "sparwick-mkfirmware: writing " << argv[1] << " failed\n";
        return 1;
    }
    return 0;
}
