#include "app/win32/Win32Dialog.h"

#include "app/DialogInitData.h"
#include "app/win32/ResourceIds.h"
#include "flash/UpdateMessages.h"
#include "platform/FrameworkError.h"
#include "platform/MessageBox.h"

#include <cstdint>
#include <span>

namespace sparwick::app {

Win32Dialog::Win32Dialog(HINSTANCE module, int dialogTemplate)
    : resourceModule(module)
    , templateId(dialogTemplate) {}

Win32Dialog::~Win32Dialog() {
    destroyWindow();
}

INT_PTR Win32Dialog::doModal(HWND parent) {
    modal = true;
    INT_PTR result = ::DialogBoxParamA(resourceModule, MAKEINTRESOURCEA(templateId), parent,
                                       dialogProc, reinterpret_cast<LPARAM>(this));
    hwnd = nullptr;
    modal = false;
    return result;
}

bool Win32Dialog::create(HWND parent) {
    ::CreateDialogParamA(resourceModule, MAKEINTRESOURCEA(templateId), parent, dialogProc,
                         reinterpret_cast<LPARAM>(this));
    return hwnd != nullptr;
}

void Win32Dialog::destroyWindow() {
    if (hwnd) {
        ::DestroyWindow(hwnd);
    }
}

INT_PTR Win32Dialog::onMessage(UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && modal && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ::EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK Win32Dialog::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<Win32Dialog*>(lParam);
        ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        dialog->hwnd = hwnd;
    }
    auto* dialog = reinterpret_cast<Win32Dialog*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!dialog) {
        return FALSE; // messages that come before WM_INITDIALOG
    }
    INT_PTR result = FALSE;
    try {
        result = dialog->dispatch(message, wParam, lParam);
    } catch (...) {
        // An exception must not unwind through the dialog manager's frames. Whatever
        // handler failed, the dialog stays as it is and the user learns that it failed.
        showMessage(msg::fatalError);
    }
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        dialog->hwnd = nullptr;
    }
    return result;
}

INT_PTR Win32Dialog::dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        executeDialogInit();
        return onInitDialog();
    }
    return onMessage(message, wParam, lParam);
}

// The strings that the template's list controls start with live beside the template as
// its initial data; the dialog manager itself knows nothing of them.
void Win32Dialog::executeDialogInit() {
    HRSRC found = ::FindResourceA(resourceModule, MAKEINTRESOURCEA(templateId),
                                  MAKEINTRESOURCEA(RT_DLGINIT_ID));
    if (!found) {
        return;
    }
    HGLOBAL loaded = ::LoadResource(resourceModule, found);
    const void* data = loaded ? ::LockResource(loaded) : nullptr;
    if (!data) {
        throw InvalidArgumentError{};
    }
    std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data),
                                        ::SizeofResource(resourceModule, found));
    for (const DialogInitEntry& entry : parseDialogInitData(bytes)) {
        UINT add = 0;
        switch (entry.message) {
        case DLGINIT_CB_ADDSTRING:
            add = CB_ADDSTRING;
            break;
        case DLGINIT_LB_ADDSTRING:
            add = LB_ADDSTRING;
            break;
        default:
            throw InvalidArgumentError{};
        }
        ::SendDlgItemMessageA(hwnd, entry.controlId, add, 0,
                              reinterpret_cast<LPARAM>(entry.text.c_str()));
    }
}

} // namespace sparwick::app
