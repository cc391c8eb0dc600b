#include "app/win32/UpdaterApp.h"

#include "app/DialogCommandLine.h"
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

    const DialogCommandLine line =
        parseDialogCommandLine(commandLine, builtInOptions(), OptionStyle::windows);
    if (line.unknown) {
        // There is no console to write to: the box says it.
        showMessage(usageMessage(*line.unknown, OptionStyle::windows));
        status = 2;
        return false;
    }

    UpdaterDialog dialog(instance, line.options);
    if (dialog.doModal(nullptr) == -1) {
        // Without its dialog the program would end without a word.
        showMessage(msg::fatalError);
    }
    return false;
}

} // namespace sparwick::app
