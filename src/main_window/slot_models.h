#pragma once
// Models that let one set of list controls show any connection's record: pointing a model at
// another record costs the same whatever the record's lists hold.

#include "mail_service/connection_slot.h"

#include <QAbstractListModel>

class SlotListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum class Column { DeletionMarks, Sizes, FileNames };

    SlotListModel(Column column, QObject* parent);

    // Shows `slot`'s list; reloads when the record changed or its lists were replaced.
    void Show(const ConnectionSlot* slot);
    // Rows whose text changed in place: only they are repainted.
    void RowsChanged(std::size_t first, std::size_t last);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    Column column_;
    const ConnectionSlot* slot_ = nullptr;
    std::uint64_t revision_ = 0;
};
