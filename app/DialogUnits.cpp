#include "app/DialogUnits.h"

namespace sparwick::app {

DialogUnits::DialogUnits(int alphabetWidth, int fontHeight)
    // The average of the 52 letters, rounded up from a half as Windows does.
    : baseX((alphabetWidth / 26 + 1) / 2)
    , baseY(fontHeight) {}

DialogRect DialogUnits::toPixels(const DialogRect& units) const {
    return {x(units.x), y(units.y), x(units.width), y(units.height)};
}

int DialogUnits::scale(int units, int base, int divisor) {
    // MulDiv's rounding: half a pixel away from zero.
    const long long product = static_cast<long long>(units) * base;
    const long long half = divisor / 2;
    return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}

} // namespace sparwick::app
