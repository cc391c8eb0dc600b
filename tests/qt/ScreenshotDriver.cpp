// Takes the pictures of the Linux dialogs in docs/dialogs.md: run by scripts/screenshots on
// a headless X server with a window manager, so that the windows have their frames. It
// starts the dialog program's main dialog with a simulated device behind COM1, updates it
// at the low speed, and opens the About box, saving each window as it is on the screen.
//
//   qt_screenshots OUTPUT_DIRECTORY
#include "app/qt/DialogMessageBox.h"
#include "app/qt/ProgressDialog.h"
#include "app/qt/UpdaterDialog.h"
#include "platform/MessageBox.h"
#include "serial/DeviceNames.h"
#include "sim/SimulatedDevice.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cstdio>

using namespace sparwick;

namespace {

constexpr int deadlineMs = 120000;
// Time for the window manager to frame a new window and for it to be drawn.
constexpr int settleMs = 700;

class Photographer {
public:
    Photographer(app::qt::UpdaterDialog& main, QDir folder)
        : dialog(main)
        , out(std::move(folder)) {
        QObject::connect(&poll, &QTimer::timeout, [this] { step(); });
        poll.start(50);
        clock.start();
    }

    bool failed = false;

private:
    bool save(QWidget& window, const char* name) {
        // With the frame that the window manager put around it.
        const QRect frame = window.windowHandle()->frameGeometry();
        const QPixmap picture =
            window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
        const QString path = out.filePath(QString::fromLatin1(name));
        if (!picture.save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return false;
        }
        std::printf("%s\n", qPrintable(path));
        return true;
    }

    // On the screen and framed for a moment.
    bool settled(const QWidget& window) {
        if (!window.windowHandle() || !window.windowHandle()->isExposed()) {
            return false;
        }
        if (!waiting.isValid()) {
            waiting.start();
        }
        if (waiting.elapsed() < settleMs) {
            return false;
        }
        waiting.invalidate();
        return true;
    }

    void finish(bool ok) {
        failed = !ok;
        poll.stop();
        dialog.reject();
    }

    void step() {
        if (clock.elapsed() > deadlineMs) {
            std::fprintf(stderr, "the dialogs did not get through in time (stage %d)\n", stage);
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                box->button(QMessageBox::Ok)->click();
            }
            finish(false);
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        switch (stage) {
        case 0: // the main dialog as it starts, then an update at the low speed
            if (settled(dialog)) {
                if (!save(dialog, "linux-main-dialog.png")) {
                    return finish(false);
                }
                dialog.speedBox().setCurrentIndex(1);
                // Queued: the update runs in the button's handler, outside this timer.
                QTimer::singleShot(0, &dialog.updateButton(), &QPushButton::click);
                stage = 1;
            }
            break;
        case 1: // the progress dialog once the bar is well under way
            if (auto* progress = dialog.progressDialog();
                progress && progress->position() >= 40 && settled(*progress)) {
                stage = save(*progress, "linux-progress-dialog.png") ? 2 : 9;
            }
            break;
        case 2: // the message that ends the update
        case 9:
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                std::printf("%s\n", qPrintable(box->text()));
                box->button(QMessageBox::Ok)->click();
                if (stage == 9) {
                    return finish(false);
                }
                stage = 3;
            }
            break;
        case 3: // the About box, from the context menu's item
            if (!dialog.progressDialog() && modal == &dialog) {
                QTimer::singleShot(0, &dialog.aboutAction(), &QAction::trigger);
                stage = 4;
            }
            break;
        case 4:
            if (modal && modal != &dialog && settled(*modal)) {
                const bool saved = save(*modal, "linux-about-box.png");
                qobject_cast<QDialog*>(modal)->accept();
                finish(saved);
            }
            break;
        default:
            break;
        }
    }

    app::qt::UpdaterDialog& dialog;
    QDir out;
    QTimer poll;
    QElapsedTimer clock;
    QElapsedTimer waiting;
    int stage = 0;
};

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: qt_screenshots OUTPUT_DIRECTORY\n");
        return 2;
    }
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/16x16/sparwick.png"));
    icon.addFile(QStringLiteral(":/icons/32x32/sparwick.png"));
    QApplication::setWindowIcon(icon);

    sim::SimulatedDevice device{sim::DeviceOptions{}};
    standFor("COM1", device.path());
    app::qt::UpdaterDialog dialog({"COM1", "COM33"}, UpdateOptions{});
    setMessageBoxHook(
        [&dialog](std::string_view text) { app::qt::showDialogMessageBox(&dialog, text); });
    Photographer photographer(dialog, QDir(QString::fromLocal8Bit(argv[1])));
    dialog.exec();
    setMessageBoxHook({});
    return photographer.failed ? 1 : 0;
}
