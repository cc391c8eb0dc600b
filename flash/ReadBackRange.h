#pragma once

#include <cstdint>
#include <string>

namespace sparwick {

// What a read-back after an update can check, and the R commands that read it: every
// byte of the image from offset 64 on (the first 64 read back as the boot block's
// vectors), in chunks that start on a word and count whole words, the last one rounded
// up to a whole word when the image ends inside one. The flash always holds that word:
// its size is a multiple of 4 and the image fits it.
class ReadBackRange {
public:
    struct Chunk {
        std::uint32_t offset = 0;
        std::uint32_t count = 0;

        bool operator==(const Chunk&) const = default;
    };

    // Bytes a chunk reads: 5 groups of 20 lines of 45 bytes. Every group is whole, so each
    // sum the device sends covers 900 bytes and costs one round trip (the host's OK); the
    // R line and its status, the only cost of a chunk beyond its groups, come to about
    // 0.3 % of its line time; and a chunk is read in 0.55 s at 115200 baud, so that the
    // progress moves about as often as while writing. It is a multiple of 4, as R wants.
    static constexpr std::uint32_t chunkBytes = 4500;

    explicit ReadBackRange(std::uint32_t imageSize);

    // Offsets begin() up to end() of the image are compared; none when empty().
    std::uint32_t begin() const { return first; }
    std::uint32_t end() const { return last; }
    std::uint32_t size() const { return last - first; }
    bool empty() const { return first == last; }

    std::uint32_t chunkCount() const;
    // Chunk index of chunkCount(): its offset and the bytes it reads, a multiple of 4.
    Chunk chunk(std::uint32_t index) const;

    // The line that tells the user what was checked, or that nothing could be.
    std::string summary() const;

private:
    std::uint32_t imageSize;
    std::uint32_t first;
    std::uint32_t last;
    std::uint32_t readEnd; // last rounded up to a whole word
};

} // namespace sparwick
