#pragma once

#include <string>
#include <utility>
#include <vector>
#include <windows.h>

namespace sparwick::app {

// The program's start: common controls, the message box, the command line's choices, and
// the main dialog, run modally. The program ends when the dialog is closed; there is no
// message loop of its own and no state to keep.
class UpdaterApp {
public:
    // arguments: the command line after the program's name.
    UpdaterApp(HINSTANCE moduleInstance, std::vector<std::string> arguments)
        : instance(moduleInstance)
        , commandLine(std::move(arguments)) {}

    // Runs the program; false, as there is nothing left to run once the dialog has ended.
    bool initInstance();

    // 0, or 2 when the command line held an option the program does not know.
    int exitCode() const { return status; }

private:
    HINSTANCE instance;
    std::vector<std::string> commandLine;
    int status = 0;
};

} // namespace sparwick::app
