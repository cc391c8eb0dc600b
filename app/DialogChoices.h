#pragma once

#include "app/ComboBoxItems.h"

#include <string>

namespace sparwick::app {

// The two choices of the main dialog, as the update takes them.
struct DialogChoices {
    std::string portName;
    bool highSpeed = true;
};

// The text of list item index, as the framework's combo box hands it out: an index that
// names no item, -1 for "nothing selected" among them, raises InvalidArgumentError.
std::string itemText(const ComboBoxItems& box, int index);

// The port box's selected list item. Text typed into its edit field never counts: with
// no item selected (no port present, or none picked) this raises InvalidArgumentError, so
// the update ends with the fatal-error message before any port is opened.
std::string selectedPortName(const ComboBoxItems& portBox);

// "High" is the speed box's item 0 (it sorts before "Low"); anything else, no selection
// included, is the low speed.
bool highSpeedSelected(const ComboBoxItems& speedBox);

// Both, the port first, as the update button reads them.
DialogChoices readChoices(const ComboBoxItems& portBox, const ComboBoxItems& speedBox);

} // namespace sparwick::app
