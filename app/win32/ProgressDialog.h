#pragma once

#include "app/win32/Win32Dialog.h"
#include "flash/ProgressSink.h"

namespace sparwick::app {

// The modeless, always-on-top window that an update reports its progress to. The update
// holds the only thread and never returns to the message loop, so every report paints
// this window and the main dialog behind it on the spot. An update that verifies runs the
// bar a second time while it reads the flash back.
class ProgressDialog : public Win32Dialog, public ProgressSink {
public:
    explicit ProgressDialog(HINSTANCE module);

    void setProgress(int percent) override;
    // The read-back: the bar runs from 0 again under a message of its own.
    void setVerifyProgress(int percent) override;

private:
    void show(int percent);

    bool verifying = false;
};

} // namespace sparwick::app
