// sparwick.exe: the dialog program.
#include "app/win32/UpdaterApp.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    sparwick::app::UpdaterApp app(instance);
    app.initInstance();
    return 0;
}
