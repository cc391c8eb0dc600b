// sparwick.exe: the dialog program.
#include "app/win32/UpdaterApp.h"

#include <cstdlib>
#include <string>
#include <vector>
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The runtime's split of the command line, quotes and all.
    std::vector<std::string> arguments;
    for (int i = 1; i < __argc; ++i) {
        arguments.emplace_back(__argv[i]);
    }
    sparwick::app::UpdaterApp app(instance, std::move(arguments));
    app.initInstance();
    return app.exitCode();
}
