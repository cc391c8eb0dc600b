#include "app/qt/QtComboBoxItems.h"

#include <QComboBox>

namespace sparwick::app::qt {

int QtComboBoxItems::count() const {
    return box.count();
}

int QtComboBoxItems::selectedIndex() const {
    const int index = box.currentIndex();
    if (!box.isEditable() || index < 0 || box.currentText() == box.itemText(index)) {
        return index;
    }
    // Typed over: the item it names exactly, if any.
    return box.findText(box.currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

std::string QtComboBoxItems::textAt(int index) const {
    return box.itemText(index).toStdString();
}

} // namespace sparwick::app::qt
