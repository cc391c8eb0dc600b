// The port's descriptor and the settings it was found with are kept by the serial
// channel where a signal handler can reach them; the handlers here use async-signal-safe
// calls only and never return into the update, so nothing more is sent to the device.
#include "app/qt/ReleaseOnExit.h"

#include "serial/posix/PortRelease.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <array>
#include <csignal>
#include <unistd.h>

namespace sparwick::app::qt {
namespace {

constexpr std::array<int, 4> interruptions = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// The status a window system that went away ends the program with, as Qt itself does
// on a broken connection.
constexpr int windowSystemGone = 1;

QtMessageHandler qtHandler = nullptr;

extern "C" void releaseAndEnd(int signal) {
    serialsys::releaseOpenPortsNow();
    ::_exit(128 + signal);
}

void writeAll(const QByteArray& text) {
    const char* at = text.constData();
    qsizetype left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, at, static_cast<std::size_t>(left));
        if (n <= 0) {
            return;
        }
        at += n;
        left -= n;
    }
}

// Qt ends the process on a fatal message with an abort, and on a connection to the
// window system that broke (X11, Wayland) with exit() from wherever the event loop was:
// in the middle of an update, with the port open. Both end here instead.
void endOnLostWindowSystem(QtMsgType type, const QMessageLogContext& context,
                           const QString& message) {
    const bool lost = type == QtFatalMsg || (type == QtWarningMsg &&
                                             message.contains(QStringLiteral("connection broke")));
    if (!lost) {
        qtHandler(type, context, message);
        return;
    }
    serialsys::releaseOpenPortsNow();
    writeAll("sparwick: " + message.toLocal8Bit() + "\n");
    ::_exit(windowSystemGone);
}

} // namespace

void releasePortOnEveryWayOut() {
    struct sigaction action {};
    action.sa_handler = releaseAndEnd;
    sigemptyset(&action.sa_mask);
    for (const int signal : interruptions) {
        sigaddset(&action.sa_mask, signal);
    }
    for (const int signal : interruptions) {
        ::sigaction(signal, &action, nullptr);
    }
    qtHandler = qInstallMessageHandler(endOnLostWindowSystem);
}

} // namespace sparwick::app::qt
