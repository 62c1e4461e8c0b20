#include "mail_service/connection_list.h"

void ConnectionList::Append() {
    beginInsertRows(QModelIndex(), count_, count_);
    ++count_;
    endInsertRows();
}

void ConnectionList::Remove(int row, const std::function<void()>& erase) {
    beginRemoveRows(QModelIndex(), row, row);
    erase();
    --count_;
    endRemoveRows();
}

int ConnectionList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count_;
}

QVariant ConnectionList::data(const QModelIndex& index, int role) const {
    if ((role != Qt::DisplayRole && role != Qt::EditRole) || !index.isValid() ||
        index.row() >= count_) {
        return {};
    }
    return QString::number(numberAt_(index.row()));
}
