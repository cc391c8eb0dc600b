// guiprobe.exe: looks at the dialog program's windows from beside it, under the same Wine
// server, for the GUI test driver. X tools see only window titles; this sees what the
// dialogs show: list items and selections, control texts, enabled states, positions.
//
//   guiprobe wait TITLE MS        a visible top-level window titled TITLE, within MS ms
//   guiprobe gone TITLE MS        no visible window titled TITLE, within MS ms
//   guiprobe window TITLE         its handles, position, size, enabled and topmost state
//   guiprobe combo TITLE ID       the list of combo box ID: selected index, then each item
//   guiprobe controls TITLE       every child: id, class, text
//   guiprobe focus TITLE          the control with the keyboard focus
//   guiprobe progress TITLE ID    position of progress bar ID
//
// Finding windows and reading their state never waits for the dialog program; reading a
// control's contents does, while an update keeps the program's thread busy.
//
// Exit status: 0 found and printed, 1 not found (or not in time), 2 usage.
// commctrl.h uses what windows.h declares.
// clang-format off
#include <windows.h>
// clang-format on
#include <chrono>
#include <commctrl.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Another process's window answers in UTF-16 whichever character set it was made with.
std::string narrow(const wchar_t* text) {
    char out[2048] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return out;
}

struct Search {
    const std::string* title;
    HWND found;
};

BOOL CALLBACK matchTitle(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    // The window's own copy of its title: asking the window would wait for as long as an
    // update keeps its thread from answering.
    wchar_t text[512] = {};
    ::InternalGetWindowText(hwnd, text, 512);
    if (::IsWindowVisible(hwnd) && *search->title == narrow(text)) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND findWindow(const std::string& title) {
    Search search{&title, nullptr};
    ::EnumWindows(matchTitle, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Polls, as there is nothing to wait on in another process's windows.
bool waitFor(const std::string& title, long ms, bool present) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if ((findWindow(title) != nullptr) == present) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string textOf(HWND hwnd) {
    wchar_t text[1024] = {};
    // WM_GETTEXT rather than GetWindowText, which does not ask another process's controls.
    ::SendMessageW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return narrow(text);
}

// Line ends inside a text would split one printed line into two.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c != '\r') {
            out += c;
        }
    }
    return out;
}

void printWindow(HWND hwnd) {
    RECT r;
    ::GetWindowRect(hwnd, &r);
    auto xid = reinterpret_cast<std::uintptr_t>(::GetPropA(hwnd, "__wine_x11_whole_window"));
    const LONG_PTR exStyle = ::GetWindowLongPtrA(hwnd, GWL_EXSTYLE);
    std::printf("hwnd=%p\nxid=%llu\nrect=%ld %ld %ld %ld\nenabled=%d\ntopmost=%d\n",
                static_cast<void*>(hwnd), static_cast<unsigned long long>(xid), r.left, r.top,
                r.right - r.left, r.bottom - r.top, ::IsWindowEnabled(hwnd) ? 1 : 0,
                (exStyle & WS_EX_TOPMOST) ? 1 : 0);
}

int printCombo(HWND box) {
    const LRESULT count = ::SendMessageA(box, CB_GETCOUNT, 0, 0);
    std::printf("selected=%d\n", static_cast<int>(::SendMessageA(box, CB_GETCURSEL, 0, 0)));
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        if (::SendMessageW(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < 256) {
            ::SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(i),
                           reinterpret_cast<LPARAM>(text));
        }
        std::printf("item=%s\n", narrow(text).c_str());
    }
    return 0;
}

BOOL CALLBACK printChild(HWND hwnd, LPARAM) {
    char className[64] = {};
    ::GetClassNameA(hwnd, className, sizeof className);
    std::printf("control=%d\t%s\t%s\n", ::GetDlgCtrlID(hwnd), className,
                escaped(textOf(hwnd)).c_str());
    return TRUE;
}

// The dialog control that has the keyboard focus: for the edit field of a combo box, the
// combo box. Read from the window's thread state, without a message to the window.
int printFocus(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info) ||
        !info.hwndFocus) {
        std::puts("focus=none");
        return 0;
    }
    HWND control = info.hwndFocus;
    while (control && ::GetParent(control) && ::GetParent(control) != window) {
        control = ::GetParent(control);
    }
    if (control == window || ::GetParent(control) != window) {
        std::puts("focus=none");
        return 0;
    }
    std::printf("focus=%d\n", ::GetDlgCtrlID(control));
    return 0;
}

int usage() {
    std::fputs("usage: guiprobe wait|gone TITLE MS | window|controls|focus TITLE | "
               "combo|progress TITLE ID\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return usage();
    }
    const std::string command = argv[1];
    const std::string title = argv[2];
    if (command == "wait" || command == "gone") {
        if (argc != 4) {
            return usage();
        }
        return waitFor(title, std::atol(argv[3]), command == "wait") ? 0 : 1;
    }
    HWND window = findWindow(title);
    if (!window) {
        std::fprintf(stderr, "guiprobe: no window \"%s\"\n", title.c_str());
        return 1;
    }
    if (command == "window" && argc == 3) {
        printWindow(window);
        return 0;
    }
    if (command == "controls" && argc == 3) {
        ::EnumChildWindows(window, printChild, 0);
        return 0;
    }
    if (command == "focus" && argc == 3) {
        return printFocus(window);
    }
    if (argc != 4) {
        return usage();
    }
    HWND control = ::GetDlgItem(window, std::atoi(argv[3]));
    if (!control) {
        std::fprintf(stderr, "guiprobe: no control %s in \"%s\"\n", argv[3], title.c_str());
        return 1;
    }
    if (command == "combo") {
        return printCombo(control);
    }
    if (command == "progress") {
        std::printf("position=%d\n", static_cast<int>(::SendMessageA(control, PBM_GETPOS, 0, 0)));
        return 0;
    }
    return usage();
}
