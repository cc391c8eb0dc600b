#pragma once

#include <QStyledItemDelegate>

namespace sparwick::app::qt {

// The port box's list: on Linux a COM name alone means little, so each item shows the
// device it stands for beside it ("COM33 (/dev/ttyUSB0)"). The item's text stays the
// name, which the edit field shows and the update is given.
class PortItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Where an item keeps its device path.
    static constexpr int deviceRole = Qt::UserRole;

    static QString label(const QModelIndex& index);

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

} // namespace sparwick::app::qt
