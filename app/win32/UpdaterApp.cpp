#include "app/win32/UpdaterApp.h"

#include "app/win32/DialogMessageBox.h"
#include "app/win32/UpdaterDialog.h"
#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"

#include <commctrl.h>

namespace sparwick::app {

bool UpdaterApp::initInstance() {
    // The progress dialog's bar is a common control: its class must be registered before
    // the first template that names it is made.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);

    setMessageBoxHook(showDialogMessageBox);

    UpdaterDialog dialog(instance);
    if (dialog.doModal(nullptr) == -1) {
        // Without its dialog the program would end without a word.
        showMessage(msg::fatalError);
    }
    return false;
}

} // namespace sparwick::app
