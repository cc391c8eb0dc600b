#include "sim/WriteTransfer.h"

#include "sim/BootLoaderConstants.h"
#include "sim/DecimalNumber.h"
#include "sim/TargetMemory.h"
#include "sim/UuCodec.h"

#include <algorithm>
#include <numeric>
#include <span>

namespace sparwick::sim {

void WriteTransfer::dataLine(std::string_view text, TargetMemory& memory) {
    const UuCodec::DecodedLine decoded = UuCodec::decodeLine(text);
    if (!decoded.wellFormed) {
        // The line still counts: the host sends its checksum after the same number of
        // lines, and that checksum then cannot match.
        groupBad = true;
    } else {
        const std::uint32_t offset = committed + groupBytes;
        if (offset < count) {
            // Bytes past the announced count are summed but not stored.
            const std::size_t stored = std::min<std::size_t>(decoded.bytes.size(), count - offset);
            memory.writeRam(address + offset,
                            std::span<const std::uint8_t>(decoded.bytes).first(stored));
        }
        groupSum = std::accumulate(decoded.bytes.begin(), decoded.bytes.end(), groupSum);
    }
    groupBytes += static_cast<std::uint32_t>(decoded.declared);
    ++groupLines;
    if (groupLines >= isp::linesPerChecksum || committed + groupBytes >= count) {
        checksumDue = true;
    }
}

bool WriteTransfer::checksumLine(std::string_view text, bool rejected) {
    const auto sum = parseDecimal(text);
    const bool matched = sum && !groupBad && *sum == groupSum && !rejected;
    if (matched) {
        committed += groupBytes;
    }
    // Either way the next lines start a new group: the following one, or the same one
    // again.
    groupBytes = 0;
    groupLines = 0;
    groupSum = 0;
    groupBad = false;
    checksumDue = false;
    return matched;
}

} // namespace sparwick::sim
