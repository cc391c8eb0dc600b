#pragma once

#include "app/ComboBoxItems.h"
#include "flash/ProgressSink.h"
#include "flash/UpdateOptions.h"
#include "flash/UpdateOutcome.h"

namespace sparwick::app {

// A dialog program's progress window, as the update button's logic drives it.
class DialogProgress : public ProgressSink {
public:
    // Shows the window over the main dialog and paints it at once.
    virtual void showWindow() = 0;
    virtual void hideWindow() = 0;
};

// What "Update Software" does in either dialog program: the progress window shown, the two
// choices read from the boxes, the update with the program's options, the window gone.
// A failure's message is shown over the progress window, which goes only after it.
UpdateOutcome runDialogUpdate(DialogProgress& progress, const ComboBoxItems& portBox,
                              const ComboBoxItems& speedBox, const UpdateOptions& options);

} // namespace sparwick::app
