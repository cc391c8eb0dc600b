#include "app/DialogChoices.h"

#include "platform/FrameworkError.h"

namespace sparwick::app {

std::string itemText(const ComboBoxItems& box, int index) {
    if (index < 0 || index >= box.count()) {
        throw InvalidArgumentError{};
    }
    return box.textAt(index);
}

std::string selectedPortName(const ComboBoxItems& portBox) {
    return itemText(portBox, portBox.selectedIndex());
}

bool highSpeedSelected(const ComboBoxItems& speedBox) {
    return speedBox.selectedIndex() == 0;
}

DialogChoices readChoices(const ComboBoxItems& portBox, const ComboBoxItems& speedBox) {
    DialogChoices choices;
    choices.portName = selectedPortName(portBox);
    choices.highSpeed = highSpeedSelected(speedBox);
    return choices;
}

} // namespace sparwick::app
