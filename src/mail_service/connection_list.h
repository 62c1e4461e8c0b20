#pragma once
// The connection numbers of the kept records, as a list model a selector can show: entry k
// reads the number of the k-th kept record. Nothing is stored per entry.

#include <QAbstractListModel>

#include <functional>

class ConnectionList : public QAbstractListModel {
    Q_OBJECT
public:
    explicit ConnectionList(std::function<int(int)> numberAt, QObject* parent = nullptr)
        : QAbstractListModel(parent), numberAt_(std::move(numberAt)) {}

    void Append();
    // Removes entry `row`; `erase` takes its record away while the views are told.
    void Remove(int row, const std::function<void()>& erase);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    std::function<int(int)> numberAt_;
    int count_ = 0;
};
