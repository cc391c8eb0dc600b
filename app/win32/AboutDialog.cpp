#include "app/win32/AboutDialog.h"

#include "app/win32/ResourceIds.h"

namespace sparwick::app {

AboutDialog::AboutDialog(HINSTANCE module)
    : Win32Dialog(module, IDD_ABOUTBOX) {}

} // namespace sparwick::app
