#pragma once

#include <string>

namespace sparwick::app {

// What the dialog logic reads from a combo box: its list and which item is selected. The
// toolkit's combo box provides it; tests provide a plain list.
class ComboBoxItems {
public:
    virtual ~ComboBoxItems() = default;
    virtual int count() const = 0;
    // -1 when no list item is selected, which is also the case while the edit field
    // holds typed text that matches no item.
    virtual int selectedIndex() const = 0;
    // The text of list item index, 0 <= index < count().
    virtual std::string textAt(int index) const = 0;
};

} // namespace sparwick::app
