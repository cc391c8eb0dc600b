#pragma once

#include <windows.h>

namespace sparwick::app {

// The program's start: common controls, the message box, and the main dialog, run
// modally. The program ends when the dialog is closed; there is no message loop of its
// own and no state to keep.
class UpdaterApp {
public:
    explicit UpdaterApp(HINSTANCE moduleInstance)
        : instance(moduleInstance) {}

    // Runs the program; false, as there is nothing left to run once the dialog has ended.
    bool initInstance();

private:
    HINSTANCE instance;
};

} // namespace sparwick::app
