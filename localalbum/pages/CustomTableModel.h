#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QVariant>

// The rows of the one page the paged table shows: column 0 the number shown, column 1 the file
// path. Read-only for the view (edits are refused); TableViewPage fills it.
class CustomTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit CustomTableModel(QObject *parent = nullptr);
    ~CustomTableModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Appends the row {number + 1, path}; returns the new row count.
    int addRow(int number, const QString &path);
    void clearRows();

private:
    QList<QHash<int, QVariant>> m_rows;
};
