#include "app/qt/UpdaterDialog.h"

#include "app/DialogUpdate.h"
#include "app/qt/AboutDialog.h"
#include "app/qt/DialogGeometry.h"
#include "app/qt/DialogTemplates.h"
#include "app/qt/PortItemDelegate.h"
#include "app/qt/ProgressDialog.h"
#include "app/qt/QtComboBoxItems.h"
#include "serial/DeviceNames.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <SparwickVersion.h>
#include <algorithm>

namespace sparwick::app::qt {
namespace {

QComboBox* comboBox(QWidget* parent) {
    auto* box = new QComboBox(parent);
    // A drop-down with an edit field, as on Windows; what is typed there never becomes an
    // item.
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}

} // namespace

UpdaterDialog::UpdaterDialog(const std::vector<std::string>& portNames,
                             const UpdateOptions& options)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , updateOptions(options)
    , ports(comboBox(this))
    , speeds(comboBox(this))
    , update(new QPushButton(QString::fromLatin1(templates::updateButton.text), this))
    , cancel(new QPushButton(QString::fromLatin1(templates::cancelButton.text), this))
    , about(new QAction(QString::fromLatin1(templates::aboutItem), this)) {
    setWindowTitle(QString::fromUtf8(productName));
    const DialogGeometry geometry(*this);
    geometry.size(*this, templates::updaterSize);
    geometry.place(*new QLabel(QString::fromLatin1(templates::portLabel.text), this),
                   templates::portLabel.rect);
    geometry.placeAtNaturalHeight(*ports, templates::portBox);
    geometry.place(*new QLabel(QString::fromLatin1(templates::speedLabel.text), this),
                   templates::speedLabel.rect);
    geometry.placeAtNaturalHeight(*speeds, templates::speedBox);
    geometry.place(*update, templates::updateButton.rect);
    geometry.place(*cancel, templates::cancelButton.rect);
    // Neither button is the default: Enter is handled below, as the Windows dialog does.
    for (QPushButton* button : {update, cancel}) {
        button->setAutoDefault(false);
    }
    setTabOrder(ports, speeds);
    setTabOrder(speeds, update);
    setTabOrder(update, cancel);

    about->setShortcut(QKeySequence(Qt::Key_F1));
    about->setShortcutContext(Qt::WindowShortcut);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(about, &QAction::triggered, this, &UpdaterDialog::showAbout);

    fillPortBox(portNames);
    for (const char* item : templates::speedItems) {
        speeds->addItem(QString::fromLatin1(item));
    }
    speeds->setCurrentIndex(0);

    connect(update, &QPushButton::clicked, this, &UpdaterDialog::updateSoftware);
    connect(cancel, &QPushButton::clicked, this, &UpdaterDialog::reject);
}

UpdaterDialog::~UpdaterDialog() = default;

void UpdaterDialog::fillPortBox(std::vector<std::string> names) {
    // Plain character order, as the Windows box sorts: COM1, COM10, COM2.
    std::ranges::sort(names);
    ports->setItemDelegate(new PortItemDelegate(ports));
    int widest = 0;
    for (const std::string& name : names) {
        ports->addItem(QString::fromStdString(name));
        const int row = ports->count() - 1;
        ports->setItemData(row, QString::fromStdString(devicePath(name)),
                           PortItemDelegate::deviceRole);
        ports->setItemData(row, QString::fromStdString(devicePath(name)), Qt::ToolTipRole);
        const QString label = PortItemDelegate::label(ports->model()->index(row, 0));
        widest = std::max(widest, ports->fontMetrics().horizontalAdvance(label));
    }
    // The list is as wide as its labels, however narrow the box.
    ports->view()->setMinimumWidth(widest + 4 * ports->fontMetrics().averageCharWidth());
    // With no port present the box stays without a selection.
    ports->setCurrentIndex(names.empty() ? -1 : 0);
}

void UpdaterDialog::updateSoftware() {
    if (progress) {
        return; // a click that reached the dialog while an update ran
    }
    ProgressDialog dialog(this);
    progress = &dialog;
    runDialogUpdate(dialog, QtComboBoxItems(*ports), QtComboBoxItems(*speeds), updateOptions);
    progress = nullptr;
}

void UpdaterDialog::showAbout() {
    if (progress) {
        return;
    }
    AboutDialog(updateOptions, this).exec();
}

void UpdaterDialog::reject() {
    // The program ends with the dialog, and an update must not end under it.
    if (!progress) {
        QDialog::reject();
    }
}

void UpdaterDialog::closeEvent(QCloseEvent* event) {
    if (progress) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void UpdaterDialog::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!enter || event->modifiers() & ~Qt::KeypadModifier) {
        QDialog::keyPressEvent(event);
        return;
    }
    // As on Windows: Enter presses the button that has the focus; anywhere else it is the
    // dialog's OK, which ends the dialog and the program.
    if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
        button->click();
    } else if (!progress) {
        accept();
    }
}

} // namespace sparwick::app::qt
