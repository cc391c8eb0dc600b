#pragma once

#include "app/win32/Win32Dialog.h"

namespace sparwick::app {

// The About box of the main dialog's system menu; OK or Escape ends it.
class AboutDialog : public Win32Dialog {
public:
    explicit AboutDialog(HINSTANCE module);
};

} // namespace sparwick::app
