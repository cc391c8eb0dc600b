#include "app/win32/ProgressDialog.h"

#include "app/DialogTexts.h"
#include "app/win32/ResourceIds.h"

#include <commctrl.h>
#include <string>

namespace sparwick::app {
namespace {

void repaintNow(HWND window) {
    ::InvalidateRect(window, nullptr, TRUE);
    ::UpdateWindow(window);
    // The controls by name: the dialog does not clip its children, so its erase covers
    // them, and Wine repaints at once only the windows it is told to.
    ::RedrawWindow(window, nullptr, nullptr,
                   RDW_UPDATENOW | RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

} // namespace

ProgressDialog::ProgressDialog(HINSTANCE module, HWND ownerWindow)
    : Win32Dialog(module, IDD_PROGRESS_DIALOG)
    , owner(ownerWindow) {}

void ProgressDialog::showWindow() {
    create(owner);
    ::ShowWindow(window(), SW_SHOW);
    ::UpdateWindow(window());
}

void ProgressDialog::hideWindow() {
    destroyWindow();
}

void ProgressDialog::setProgress(int percent) {
    show(percent);
}

void ProgressDialog::setVerifyProgress(int percent) {
    if (!verifying && window()) {
        verifying = true;
        const std::string message(text::verifying);
        ::SetDlgItemTextA(window(), IDC_PROGRESS_MESSAGE, message.c_str());
    }
    show(percent);
}

void ProgressDialog::show(int percent) {
    HWND self = window();
    // Without a window there is nothing to paint; a null window would mean the desktop.
    if (!self) {
        return;
    }
    ::SendDlgItemMessageA(self, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    repaintNow(self);
    if (HWND parent = ::GetParent(self)) {
        repaintNow(parent);
    }
    // The update keeps the thread from its message loop for minutes. Answering what other
    // programs send, and nothing else (input stays queued), keeps the system from taking
    // the program for hung and covering its windows with a "not responding" ghost.
    MSG message;
    ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

} // namespace sparwick::app
