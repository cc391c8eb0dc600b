#include "app/win32/DialogMessageBox.h"

#include <string>
#include <windows.h>

namespace sparwick::app {
namespace {

// The executable's name without its folder and extension.
std::string programName() {
    char path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name(path, length);
    name.erase(0, name.find_last_of("\\/") + 1);
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name;
}

} // namespace

void showDialogMessageBox(std::string_view text) {
    const std::string message(text);
    HWND owner = ::GetActiveWindow();
    // A box disables its owner only. While the progress dialog owns it, the main dialog
    // behind would still take clicks, and "Update Software" could start a second update
    // inside this one's message.
    HWND root = owner ? ::GetAncestor(owner, GA_ROOTOWNER) : nullptr;
    const bool disableRoot = root && root != owner && ::IsWindowEnabled(root);
    if (disableRoot) {
        ::EnableWindow(root, FALSE);
    }
    ::MessageBoxA(owner, message.c_str(), programName().c_str(), MB_OK);
    if (disableRoot) {
        ::EnableWindow(root, TRUE);
    }
}

} // namespace sparwick::app
