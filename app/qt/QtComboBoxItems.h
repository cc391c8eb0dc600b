#pragma once

#include "app/ComboBoxItems.h"

class QComboBox;

namespace sparwick::app::qt {

// A Qt combo box as the dialog logic reads it. Like a Windows combo box with an edit
// field, it has no selected item while the field holds text that names none.
class QtComboBoxItems : public ComboBoxItems {
public:
    explicit QtComboBoxItems(const QComboBox& comboBox)
        : box(comboBox) {}

    int count() const override;
    int selectedIndex() const override;
    std::string textAt(int index) const override;

private:
    const QComboBox& box;
};

} // namespace sparwick::app::qt
