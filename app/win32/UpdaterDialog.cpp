#include "app/win32/UpdaterDialog.h"

#include "app/DialogUpdate.h"
#include "app/win32/AboutDialog.h"
#include "app/win32/ComboBox.h"
#include "app/win32/ProgressDialog.h"
#include "app/win32/ResourceIds.h"
#include "serial/ComPortList.h"

namespace sparwick::app {

UpdaterDialog::UpdaterDialog(HINSTANCE module, const UpdateOptions& options)
    : Win32Dialog(module, IDD_UPDATER_DIALOG)
    , updateOptions(options)
    , icon(::LoadIconA(module, MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

BOOL UpdaterDialog::onInitDialog() {
    addAboutItemToSystemMenu();
    ::SendMessageA(window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    ::SendMessageA(window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    fillPortBox();
    ComboBox(::GetDlgItem(window(), IDC_SPEED_COMBO)).setCurrentSelection(0);
    return TRUE;
}

void UpdaterDialog::addAboutItemToSystemMenu() {
    HMENU systemMenu = ::GetSystemMenu(window(), FALSE);
    if (!systemMenu) {
        return;
    }
    char text[256] = {};
    if (::LoadStringA(moduleInstance(), IDS_ABOUTBOX, text, sizeof text) > 0) {
        ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, text);
    }
}

void UpdaterDialog::fillPortBox() {
    ComboBox portBox(::GetDlgItem(window(), IDC_PORT_COMBO));
    for (const std::string& name : ComPortList::instance().ports()) {
        portBox.addString(name);
    }
    // With no port present the box stays without a selection.
    portBox.setCurrentSelection(0);
}

INT_PTR UpdaterDialog::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            if (!updating) {
                AboutDialog(moduleInstance(), updateOptions).doModal(window());
            }
            return TRUE;
        }
        return FALSE;
    case WM_PAINT:
        return paintMinimised();
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(icon);
    case WM_COMMAND:
        if (updating) {
            return TRUE;
        }
        if (LOWORD(wParam) == IDC_UPDATE_BUTTON && HIWORD(wParam) == BN_CLICKED) {
            updateSoftware();
            return TRUE;
        }
        break;
    default:
        break;
    }
    return Win32Dialog::onMessage(message, wParam, lParam);
}

// A minimised dialog shows its icon, centred; otherwise the dialog manager paints.
bool UpdaterDialog::paintMinimised() {
    if (!::IsIconic(window())) {
        return false;
    }
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(window(), &paint);
    ::SendMessageA(window(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    ::GetClientRect(window(), &client);
    const int iconWidth = ::GetSystemMetrics(SM_CXICON);
    const int iconHeight = ::GetSystemMetrics(SM_CYICON);
    const int left = (client.right - client.left - iconWidth + 1) / 2;
    const int top = (client.bottom - client.top - iconHeight + 1) / 2;
    ::DrawIcon(dc, left, top, icon);
    ::EndPaint(window(), &paint);
    return true;
}

void UpdaterDialog::updateSoftware() {
    updating = true;
    ProgressDialog progress(moduleInstance(), window());
    runDialogUpdate(progress, ComboBox(::GetDlgItem(window(), IDC_PORT_COMBO)),
                    ComboBox(::GetDlgItem(window(), IDC_SPEED_COMBO)), updateOptions);
    updating = false;
}

} // namespace sparwick::app
