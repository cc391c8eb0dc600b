#pragma once

#include <windows.h>

namespace sparwick::app {

// A dialog made from a template of this program's resources, run modally or created
// modeless: the part of a framework dialog class that the dialogs here need. It applies
// the template's initial data before a subclass initialises, ends a modal dialog on OK
// and Cancel, and destroys a modeless window that is still there when the object goes.
class Win32Dialog {
public:
    Win32Dialog(HINSTANCE module, int templateId);
    virtual ~Win32Dialog();
    Win32Dialog(const Win32Dialog&) = delete;
    Win32Dialog& operator=(const Win32Dialog&) = delete;

    // Returns how the dialog was ended, or -1 if it could not be made.
    INT_PTR doModal(HWND parent);
    // A modeless window owned by parent; false if it could not be made.
    bool create(HWND parent);
    void destroyWindow();

    HWND window() const { return hwnd; }
    HINSTANCE moduleInstance() const { return resourceModule; }

protected:
    // The value the dialog manager asks for from WM_INITDIALOG: TRUE lets it give the focus
    // to the first tab stop.
    virtual BOOL onInitDialog() { return TRUE; }
    // Any other message; FALSE leaves it to the dialog manager.
    virtual INT_PTR onMessage(UINT message, WPARAM wParam, LPARAM lParam);

private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    void executeDialogInit();

    HINSTANCE resourceModule;
    int templateId;
    HWND hwnd = nullptr;
    bool modal = false;
};

} // namespace sparwick::app
