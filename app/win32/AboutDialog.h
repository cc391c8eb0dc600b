#pragma once

#include "app/win32/Win32Dialog.h"
#include "flash/UpdateOptions.h"

namespace sparwick::app {

// The About box of the main dialog's system menu; OK or Escape ends it. Its notice line
// says which opt-in choices the program's updates make.
class AboutDialog : public Win32Dialog {
public:
    AboutDialog(HINSTANCE module, const UpdateOptions& options);

protected:
    BOOL onInitDialog() override;

private:
    UpdateOptions updateOptions;
};

} // namespace sparwick::app
