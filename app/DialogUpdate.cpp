#include "app/DialogUpdate.h"

#include "app/DialogChoices.h"
#include "flash/IspFlasher.h"

namespace sparwick::app {

UpdateOutcome runDialogUpdate(DialogProgress& progress, const ComboBoxItems& portBox,
                              const ComboBoxItems& speedBox, const UpdateOptions& options) {
    const UpdateOutcome outcome = runUpdate([&](IspFlasher& flasher) {
        progress.showWindow();
        const DialogChoices choices = readChoices(portBox, speedBox);
        flasher.program(progress, choices.portName, choices.highSpeed, options);
        progress.hideWindow();
    });
    progress.hideWindow();
    return outcome;
}

} // namespace sparwick::app
