#pragma once

#include "app/win32/Win32Dialog.h"
#include "flash/UpdateOptions.h"

namespace sparwick::app {

// The main dialog: the COM port and the speed, "Update Software", and Cancel, which ends
// the program. An update runs inside the button's handler, from the progress dialog's
// appearance to the message that ends it.
class UpdaterDialog : public Win32Dialog {
public:
    // options: what every update of this dialog does beyond the port and the speed.
    UpdaterDialog(HINSTANCE module, const UpdateOptions& options);

protected:
    BOOL onInitDialog() override;
    INT_PTR onMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void addAboutItemToSystemMenu();
    void fillPortBox();
    bool paintMinimised();
    void updateSoftware();

    UpdateOptions updateOptions;
    HICON icon;
    // Set while an update runs. Input that reached the dialog meanwhile is only handled
    // in the modal loop of the update's message box: a click queued then must not start
    // a second update inside the first, nor end the program under it.
    bool updating = false;
};

} // namespace sparwick::app
