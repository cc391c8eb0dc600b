#include "app/qt/DialogGeometry.h"

#include <QFontMetrics>
#include <QWidget>

namespace sparwick::app::qt {
namespace {

DialogUnits unitsOf(const QWidget& dialog) {
    const QFontMetrics metrics(dialog.font());
    return DialogUnits(metrics.horizontalAdvance(QString::fromLatin1(DialogUnits::alphabet)),
                       metrics.height());
}

} // namespace

DialogGeometry::DialogGeometry(const QWidget& dialog)
    : units(unitsOf(dialog)) {}

void DialogGeometry::size(QWidget& dialog, const DialogRect& rect) const {
    dialog.setFixedSize(units.x(rect.width), units.y(rect.height));
}

void DialogGeometry::place(QWidget& control, const DialogRect& rect) const {
    const DialogRect pixels = units.toPixels(rect);
    control.setGeometry(pixels.x, pixels.y, pixels.width, pixels.height);
}

void DialogGeometry::placeAtNaturalHeight(QWidget& control, const DialogRect& rect) const {
    const DialogRect pixels = units.toPixels(rect);
    control.setGeometry(pixels.x, pixels.y, pixels.width, control.sizeHint().height());
}

} // namespace sparwick::app::qt
