// The dialog program's ways out, without its windows: opens the port as an update does,
// says so, and then ends as it is told to (a signal, or the message Qt gives when the
// window system goes away). Ending any other way is a failure: status 99.
#include "app/qt/ReleaseOnExit.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"

#include <QtGlobal>
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const std::string way = argv[2];
    sparwick::app::qt::releasePortOnEveryWayOut();
    sparwick::standFor("COM7", argv[1]);
    if (!sparwick::OsalSerialPort::instance().selectPort("COM7", true)) {
        return 3;
    }
    std::printf("open\n");
    std::fflush(stdout);
    if (way == "x11") {
        qWarning("The X11 connection broke (error 1). Did the X11 server die?");
    } else if (way == "fatal") {
        qFatal("could not connect to display :99");
    } else {
        const int signal = way == "int" ? SIGINT : way == "hup" ? SIGHUP : SIGTERM;
        ::raise(signal);
    }
    ::_exit(99);
}
