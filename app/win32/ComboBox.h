#pragma once

#include "app/ComboBoxItems.h"

#include <string>
#include <windows.h>

namespace sparwick::app {

// A combo box control of a dialog, read and filled through its messages.
class ComboBox : public ComboBoxItems {
public:
    explicit ComboBox(HWND control)
        : box(control) {}

    int count() const override;
    int selectedIndex() const override;
    // Raises InvalidArgumentError for an index that names no item.
    std::string textAt(int index) const override;

    void addString(const std::string& text);
    void setCurrentSelection(int index);

private:
    HWND box;
};

} // namespace sparwick::app
