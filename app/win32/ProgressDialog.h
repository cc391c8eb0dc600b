#pragma once

#include "app/DialogUpdate.h"
#include "app/win32/Win32Dialog.h"

namespace sparwick::app {

// The modeless, always-on-top window that an update reports its progress to. The update
// holds the only thread and never returns to the message loop, so every report paints
// this window and the main dialog behind it on the spot. An update that verifies runs the
// bar a second time while it reads the flash back.
class ProgressDialog : public Win32Dialog, public DialogProgress {
public:
    // owner: the main dialog, which the window stands over.
    ProgressDialog(HINSTANCE module, HWND owner);

    void setProgress(int percent) override;
    // The read-back: the bar runs from 0 again under a message of its own.
    void setVerifyProgress(int percent) override;
    void showWindow() override;
    void hideWindow() override;

private:
    void show(int percent);

    HWND owner;
    bool verifying = false;
};

} // namespace sparwick::app
