// The Linux dialogs as a user meets them: the boxes as they start, whole updates of a
// simulated device with the boxes that end them, and the About box by both ways to it.
#include "app/DialogTexts.h"
#include "app/qt/DialogMessageBox.h"
#include "app/qt/PortItemDelegate.h"
#include "app/qt/ProgressDialog.h"
#include "app/qt/UpdaterDialog.h"
#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"
#include "platform/Resources.h"
#include "serial/DeviceNames.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

using namespace sparwick;
using app::qt::UpdaterDialog;

namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// What a box showed, and the progress dialog behind it at that moment.
struct Shown {
    QString text;
    bool progressUp = false;
    QString progressMessage;
    int progressPosition = -1;
};

// Answers the modal windows that the dialog opens, as a user would: reads each one and
// presses its button. Polls on a timer, which runs inside their modal loops.
class User {
public:
    explicit User(UpdaterDialog& main)
        : dialog(main) {
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start(5);
    }

    std::vector<Shown> boxes;
    std::vector<QString> aboutNotices;

private:
    void answer() {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            // Queued: the item opens a modal box, and a timer does not fire again while
            // its own slot runs.
            QMetaObject::invokeMethod(
                menu,
                [menu] {
                    menu->setActiveAction(menu->actions().value(0));
                    QTest::keyClick(menu, Qt::Key_Return);
                },
                Qt::QueuedConnection);
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            Shown shown;
            shown.text = box->text();
            if (auto* progress = dialog.progressDialog()) {
                shown.progressUp = progress->isVisible();
                shown.progressMessage = progress->message();
                shown.progressPosition = progress->position();
            }
            boxes.push_back(shown);
            box->button(QMessageBox::Ok)->click();
        } else if (modal && modal != &dialog) {
            aboutNotices.push_back(modal->findChild<QLabel*>(QStringLiteral("notice"))->text());
            QTest::keyClick(modal, Qt::Key_Escape);
        }
    }

    UpdaterDialog& dialog;
    QTimer timer;
};

// The dialog as the program makes it: its message boxes through the hook.
struct Program {
    explicit Program(const std::vector<std::string>& ports, const UpdateOptions& options = {})
        : dialog(ports, options)
        , previous(setMessageBoxHook(
              [this](std::string_view text) { app::qt::showDialogMessageBox(&dialog, text); })) {
        dialog.show();
        // F1 reaches the active window only.
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
    }
    ~Program() { setMessageBoxHook(std::move(previous)); }

    void pressUpdate() { QTest::mouseClick(&dialog.updateButton(), Qt::LeftButton); }

    UpdaterDialog dialog;
    User user{dialog};
    MessageBoxHook previous;
};

// A simulated device behind COM1 that takes a small image: four blocks, the last one short.
struct Device {
    explicit Device(const std::vector<std::string>& faults = {}) {
        sim::DeviceOptions options;
        for (const std::string& fault : faults) {
            options.faults.push_back(*sim::parseFaultRule(fault));
        }
        sim = std::make_unique<sim::SimulatedDevice>(options);
        standFor("COM1", sim->path());
        for (std::size_t i = 0; i < image.size(); ++i) {
            image[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        }
        substituteResource(firmwareResourceId, firmwareResourceType, image);
    }
    ~Device() {
        restoreResources();
        forgetAllStandIns();
    }

    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(3 * 4096 + 100);
    std::unique_ptr<sim::SimulatedDevice> sim;
};

} // namespace

class QtDialogTest : public QObject {
    Q_OBJECT

private slots:
    void boxesAsTheyStart() {
        Program program({"COM2", "COM33", "COM10", "COM1"});
        QComboBox& ports = program.dialog.portBox();
        QStringList names;
        QStringList labels;
        for (int i = 0; i < ports.count(); ++i) {
            names << ports.itemText(i);
            labels << app::qt::PortItemDelegate::label(ports.model()->index(i, 0));
        }
        QCOMPARE(names, QStringList({"COM1", "COM10", "COM2", "COM33"}));
        QCOMPARE(ports.currentIndex(), 0);
        QCOMPARE(labels[3], QStringLiteral("COM33 (/dev/ttyUSB0)"));
        QCOMPARE(program.dialog.speedBox().itemText(0), QStringLiteral("High"));
        QCOMPARE(program.dialog.speedBox().itemText(1), QStringLiteral("Low"));
        QCOMPARE(program.dialog.speedBox().currentIndex(), 0);
    }

    // The keys of a Windows dialog: Enter presses the focused button (here an update with no
    // port, which the fatal box ends), and anywhere else ends the dialog, as Escape does.
    void keys_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("onUpdate");
        QTest::newRow("Enter in the port box") << int(Qt::Key_Return) << false;
        QTest::newRow("Enter on Update Software") << int(Qt::Key_Return) << true;
        QTest::newRow("Escape") << int(Qt::Key_Escape) << false;
    }
    void keys() {
        QFETCH(int, key);
        QFETCH(bool, onUpdate);
        Program program({});
        QWidget* target = &program.dialog.portBox();
        if (onUpdate) {
            target = &program.dialog.updateButton();
        }
        target->setFocus();
        QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key));
        QCOMPARE(program.dialog.isVisible(), onUpdate);
        QCOMPARE(program.user.boxes.size(), std::size_t{onUpdate ? 1u : 0u});
    }

    // No port to read: the progress dialog was up, the fatal box ends the update, and the
    // dialog is ready again.
    void fatalWithoutAPort_data() {
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QString>("typed");
        QTest::newRow("no port present") << QStringList() << QString();
        QTest::newRow("typed text that names no port") << QStringList({"COM1"}) << "COM7";
    }
    void fatalWithoutAPort() {
        QFETCH(QStringList, ports);
        QFETCH(QString, typed);
        std::vector<std::string> names;
        for (const QString& port : ports) {
            names.push_back(port.toStdString());
        }
        Program program(names);
        if (!typed.isEmpty()) {
            program.dialog.portBox().setEditText(typed);
        }
        for (int press = 0; press < 2; ++press) {
            program.pressUpdate();
        }
        QCOMPARE(program.user.boxes.size(), std::size_t{2});
        QCOMPARE(program.user.boxes[1].text, qs(msg::fatalError));
        QVERIFY(program.user.boxes[1].progressUp);
        QVERIFY(!program.dialog.progressDialog());
        QVERIFY(program.dialog.isVisible());
    }

    // At the low speed, with the choices read from the boxes: the success box over the
    // progress dialog, which has moved on, and the device holding the image.
    void updateSucceeds() {
        Device device;
        Program program({"COM1"});
        program.dialog.speedBox().setCurrentIndex(1);
        const std::size_t terminals = test::openTerminalCount();
        program.pressUpdate();
        QCOMPARE(program.user.boxes.size(), std::size_t{1});
        const Shown& shown = program.user.boxes[0];
        QCOMPARE(shown.text, qs(msg::success));
        QVERIFY(shown.progressUp);
        QCOMPARE(shown.progressMessage,
                 QStringLiteral("Flash upgrade in progress. Please wait..."));
        QCOMPARE(shown.progressPosition, 99); // the last block's start: 12288 of 12388
        QVERIFY(!program.dialog.progressDialog());
        QCOMPARE(device.sim->statistics().hostBaud, std::optional<std::uint32_t>(19200));
        QCOMPARE(device.sim->flash(),
                 test::expectedFlash(device.image, device.sim->flash().size()));
        QCOMPARE(test::openTerminalCount(), terminals);
    }

    void silentDeviceFails() {
        Device device({"sync=silent"});
        Program program({"COM1"});
        program.pressUpdate();
        QCOMPARE(program.user.boxes.size(), std::size_t{1});
        QCOMPARE(program.user.boxes[0].text, qs(msg::noDevice));
        QVERIFY(!device.sim->wentToUserCode());
    }

    // The dialog's choices reach the update: the read-back runs as a second phase and
    // catches a copy that went wrong, with the message the command line gives.
    void verifyCatchesACorruptCopy() {
        Device device({"copy#2=corrupt"});
        Program program({"COM1"}, UpdateOptions{.fast = true, .verify = true});
        program.pressUpdate();
        QCOMPARE(program.user.boxes.size(), std::size_t{1});
        const Shown& shown = program.user.boxes[0];
        QVERIFY2(shown.text.startsWith(qs(msg::verifyFailed) + "\nFirst difference at offset 6144"),
                 qPrintable(shown.text));
        QCOMPARE(shown.progressMessage, qs(app::text::verifying));
        QVERIFY(!device.sim->wentToUserCode());
    }

    // About from the context menu and from F1; its notice line names the choices.
    void aboutBox_data() {
        QTest::addColumn<bool>("fromMenu");
        QTest::addColumn<bool>("verify");
        QTest::newRow("F1, plain updates") << false << false;
        QTest::newRow("context menu, verified updates") << true << true;
    }
    void aboutBox() {
        QFETCH(bool, fromMenu);
        QFETCH(bool, verify);
        const UpdateOptions options{.fast = false, .verify = verify};
        Program program({"COM1"}, options);
        QCOMPARE(program.dialog.aboutAction().text(), QStringLiteral("&About Quellbox..."));
        if (fromMenu) {
            QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                    program.dialog.mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(&program.dialog, &event);
        } else {
            QTest::keyClick(&program.dialog, Qt::Key_F1);
        }
        QCOMPARE(program.user.aboutNotices,
                 std::vector<QString>{qs(app::text::aboutNotice(options))});
        QVERIFY(program.dialog.isVisible());
    }
};

int main(int argc, char** argv) {
    // No X server: the dialogs are drawn in memory.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QtDialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "QtDialogTest.moc"
