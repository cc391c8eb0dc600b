#include "app/win32/AboutDialog.h"

#include "app/DialogTexts.h"
#include "app/win32/ResourceIds.h"

#include <string>

namespace sparwick::app {

AboutDialog::AboutDialog(HINSTANCE module, const UpdateOptions& options)
    : Win32Dialog(module, IDD_ABOUTBOX)
    , updateOptions(options) {}

BOOL AboutDialog::onInitDialog() {
    const std::string notice(text::aboutNotice(updateOptions));
    ::SetDlgItemTextA(window(), IDC_ABOUT_NOTICE, notice.c_str());
    return TRUE;
}

} // namespace sparwick::app
