#include "main_window/slot_models.h"

#include <algorithm>

SlotListModel::SlotListModel(Column column, QObject* parent)
    : QAbstractListModel(parent), column_(column) {}

void SlotListModel::Show(const ConnectionSlot* slot) {
    if (slot == slot_ && (slot == nullptr || slot->listsRevision == revision_)) {
        return;
    }
    beginResetModel();
    slot_ = slot;
    revision_ = slot != nullptr ? slot->listsRevision : 0;
    endResetModel();
}

void SlotListModel::RowsChanged(std::size_t first, std::size_t last) {
    const int rows = rowCount();
    if (rows == 0 || first >= static_cast<std::size_t>(rows)) {
        return;
    }
    const int end =
        static_cast<int>(std::min<std::size_t>(last, static_cast<std::size_t>(rows - 1)));
    emit dataChanged(index(static_cast<int>(first)), index(end), {Qt::DisplayRole});
}

int SlotListModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || slot_ == nullptr) {
        return 0;
    }
    switch (column_) {
        case Column::DeletionMarks:
            return static_cast<int>(slot_->marks.size());
        case Column::Sizes:
            return static_cast<int>(slot_->MessageCount());
        case Column::FileNames:
            return static_cast<int>(slot_->MessageCount()) + (slot_->blankFileEntry ? 1 : 0);
    }
    return 0;
}

QVariant SlotListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || slot_ == nullptr || !index.isValid() ||
        index.row() >= rowCount()) {
        return {};
    }
    const auto row = static_cast<std::size_t>(index.row());
    switch (column_) {
        case Column::DeletionMarks:
            return QString(QChar::fromLatin1(slot_->marks[row]));
        case Column::Sizes:
            return QStringLiteral(" ") + QString::number(slot_->Message(row).size);
        case Column::FileNames:
            if (row >= static_cast<std::size_t>(slot_->MessageCount())) {
                return QString();  // the blank entry
            }
            return QString::fromLocal8Bit(slot_->Message(row).name);
    }
    return {};
}
