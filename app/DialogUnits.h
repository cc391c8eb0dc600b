#pragma once

namespace sparwick::app {

// A control's place in a dialog template, or the same in pixels.
struct DialogRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const DialogRect&) const = default;
};

// Dialog units converted to pixels as Windows converts them for a dialog's font: a
// horizontal unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height, each product rounded to the nearest pixel.
class DialogUnits {
public:
    // alphabetWidth: the width of "A" to "Z" and "a" to "z" written out in the font, from
    // which Windows takes the average character width; fontHeight: the font's line height.
    DialogUnits(int alphabetWidth, int fontHeight);

    int x(int units) const { return scale(units, baseX, 4); }
    int y(int units) const { return scale(units, baseY, 8); }
    DialogRect toPixels(const DialogRect& units) const;

    static constexpr const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

private:
    static int scale(int units, int base, int divisor);

    int baseX;
    int baseY;
};

} // namespace sparwick::app
