#pragma once

#include "app/DialogUnits.h"

class QWidget;

namespace sparwick::app::qt {

// Lays a Qt dialog out from its template's dialog units, converted with the metrics of the
// dialog's font as Windows converts them.
class DialogGeometry {
public:
    explicit DialogGeometry(const QWidget& dialog);

    // The dialog's client area.
    void size(QWidget& dialog, const DialogRect& units) const;
    void place(QWidget& control, const DialogRect& units) const;
    // A control whose height its font decides (a combo box): the template's width.
    void placeAtNaturalHeight(QWidget& control, const DialogRect& units) const;

private:
    DialogUnits units;
};

} // namespace sparwick::app::qt
