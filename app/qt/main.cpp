// sparwick: the dialog program on Linux.
#include "app/DialogCommandLine.h"
#include "app/qt/DialogMessageBox.h"
#include "app/qt/ReleaseOnExit.h"
#include "app/qt/UpdaterDialog.h"
#include "platform/MessageBox.h"
#include "serial/ComPortList.h"

#include <QApplication>
#include <QIcon>
#include <SparwickVersion.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace sparwick;
using namespace sparwick::app;

constexpr const char* help =
    "Usage: sparwick [--fast] [--verify] [Qt options]\n"
    "Writes the firmware this program carries into an LPC2000-family device through its\n"
    "serial ISP boot loader: pick the COM port and the speed, press \"Update Software\".\n"
    "\n"
    "Options:\n"
    "  --fast       send the data lines back to back, paced by the device's XOFF/XON and\n"
    "               checked by its checksums\n"
    "  --verify     read the flash back and compare it with the image before starting it\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n";

bool asked(const std::vector<std::string>& arguments, const char* option) {
    return std::ranges::find(arguments, option) != arguments.end();
}

} // namespace

int main(int argc, char** argv) {
    // Answered without a display: the man page is made from them at build time.
    const std::vector<std::string> given(argv + 1, argv + argc);
    if (asked(given, "--help")) {
        std::fputs(help, stdout);
        return 0;
    }
    if (asked(given, "--version")) {
        std::printf("%s\n", productName);
        return 0;
    }

    qt::releasePortOnEveryWayOut();
    QApplication application(argc, argv);
    // What is left once Qt has taken its own options (-platform, -display, ...).
    std::vector<std::string> arguments;
    const QStringList left = QApplication::arguments();
    for (qsizetype i = 1; i < left.size(); ++i) {
        arguments.push_back(left[i].toStdString());
    }
    const DialogCommandLine line =
        parseDialogCommandLine(arguments, builtInOptions(), OptionStyle::posix);
    if (line.unknown) {
        std::fprintf(stderr, "%s\n", usageMessage(*line.unknown, OptionStyle::posix).c_str());
        return 2;
    }

    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/16x16/sparwick.png"));
    icon.addFile(QStringLiteral(":/icons/32x32/sparwick.png"));
    QApplication::setWindowIcon(icon);
    QApplication::setDesktopFileName(QStringLiteral("sparwick"));

    qt::UpdaterDialog dialog(ComPortList::instance().ports(), line.options);
    setMessageBoxHook(
        [&dialog](std::string_view text) { qt::showDialogMessageBox(&dialog, text); });
    dialog.exec();
    setMessageBoxHook({});
    return 0;
}
