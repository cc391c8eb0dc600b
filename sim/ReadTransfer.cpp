#include "sim/ReadTransfer.h"

#include "sim/BootLoaderConstants.h"
#include "sim/TargetMemory.h"
#include "sim/UuCodec.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace sparwick::sim {

ReadTransfer::Group ReadTransfer::group(const TargetMemory& memory) {
    Group result;
    groupBytes = 0;
    for (std::size_t line = 0; line < isp::linesPerChecksum && committed + groupBytes < count;
         ++line) {
        const std::uint32_t offset = committed + groupBytes;
        const auto length =
            static_cast<std::uint32_t>(std::min<std::size_t>(isp::bytesPerLine, count - offset));
        const std::vector<std::uint8_t> bytes = memory.read(address + offset, length);
        result.sum = std::accumulate(bytes.begin(), bytes.end(), result.sum);
        result.lines += UuCodec::encodeLine(bytes) + std::string(isp::lineEnd);
        groupBytes += length;
    }
    return result;
}

ReadTransfer::Answer ReadTransfer::answer(std::string_view line) {
    if (line == isp::okWord) {
        committed += groupBytes;
        return committed >= count ? Answer::finished : Answer::next;
    }
    if (line == isp::resendWord) {
        return Answer::again;
    }
    return Answer::unknown;
}

} // namespace sparwick::sim
