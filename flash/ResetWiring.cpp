#include "flash/ResetWiring.h"

#include <array>

namespace sparwick {
namespace {

constexpr std::string_view invertSuffix = ",invert";
constexpr std::string_view resetOnDtrName = "dtr-rts";
constexpr std::string_view resetOnRtsName = "rts-dtr";
// By AfterUpdate's value.
constexpr std::array<std::string_view, 3> afterUpdateNames = {"go", "reset", "stay"};

} // namespace

std::optional<ResetWiring> ResetWiring::parse(std::string_view text) {
    ResetWiring wiring;
    if (text.ends_with(invertSuffix)) {
        wiring.invert = true;
        text.remove_suffix(invertSuffix.size());
    }
    if (text == resetOnDtrName) {
        wiring.resetOnDtr = true;
    } else if (text == resetOnRtsName) {
        wiring.resetOnDtr = false;
    } else {
        return std::nullopt;
    }
    return wiring;
}

std::string ResetWiring::text() const {
    return std::string(resetOnDtr ? resetOnDtrName : resetOnRtsName) +
           std::string(invert ? invertSuffix : "");
}

serialsys::ModemLines ResetWiring::lines(bool resetLow, bool ispLow) const {
    // A line asserted makes its pin low, or high when inverted.
    const bool resetLine = resetLow != invert;
    const bool ispLine = ispLow != invert;
    return resetOnDtr ? serialsys::ModemLines{resetLine, ispLine}
                      : serialsys::ModemLines{ispLine, resetLine};
}

std::string_view afterUpdateName(AfterUpdate after) {
    return afterUpdateNames.at(static_cast<std::size_t>(after));
}

std::optional<AfterUpdate> parseAfterUpdate(std::string_view text) {
    for (std::size_t i = 0; i < afterUpdateNames.size(); ++i) {
        if (afterUpdateNames[i] == text) {
            return static_cast<AfterUpdate>(i);
        }
    }
    return std::nullopt;
}

} // namespace sparwick
