#pragma once

#include "sim/BootLoaderConstants.h"
#include "sim/IspStatus.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace sparwick::sim {

// The lines that the boot loader sends: a return code, a number or a word, each ended as
// the protocol ends its lines.
inline std::string statusLine(IspStatus status) {
    return std::to_string(static_cast<std::uint32_t>(status)) + std::string(isp::lineEnd);
}

inline std::string numberLine(std::uint64_t value) {
    return std::to_string(value) + std::string(isp::lineEnd);
}

inline std::string textLine(std::string_view text) {
    return std::string(text) + std::string(isp::lineEnd);
}

// Whether a list of the values the boot loader accepts holds this one.
template <typename Range>
bool contains(const Range& range, std::uint32_t value) {
    return std::find(range.begin(), range.end(), value) != range.end();
}

} // namespace sparwick::sim
