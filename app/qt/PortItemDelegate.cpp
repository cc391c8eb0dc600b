#include "app/qt/PortItemDelegate.h"

namespace sparwick::app::qt {

QString PortItemDelegate::label(const QModelIndex& index) {
    const QString name = index.data(Qt::DisplayRole).toString();
    const QString device = index.data(deviceRole).toString();
    return device.isEmpty() ? name : name + QStringLiteral(" (") + device + QStringLiteral(")");
}

void PortItemDelegate::initStyleOption(QStyleOptionViewItem* option,
                                       const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = label(index);
}

} // namespace sparwick::app::qt
