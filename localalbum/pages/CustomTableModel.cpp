#include "localalbum/pages/CustomTableModel.h"

CustomTableModel::CustomTableModel(QObject *parent) : QAbstractTableModel(parent)
{
}

CustomTableModel::~CustomTableModel() = default;

int CustomTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

int CustomTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant CustomTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return QVariant();
    // The whole path on hover: the view cuts a long one in the middle.
    if (role == Qt::ToolTipRole && index.column() == 1)
        return m_rows.at(index.row()).value(index.column());
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return QVariant();
    return m_rows.at(index.row()).value(index.column());
}

bool CustomTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    // The table is a listing: nothing is edited through the view.
    if (!index.isValid() || index.row() >= m_rows.size() || role == Qt::EditRole)
        return false;
    m_rows[index.row()].insert(index.column(), value);
    emit dataChanged(index, index);
    return true;
}

QVariant CustomTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Vertical)
        return section + 1;
    if (section == 0)
        return QStringLiteral("序号");
    if (section == 1)
        return QStringLiteral("文件名");
    return QVariant();
}

int CustomTableModel::addRow(int number, const QString &path)
{
    const int row = m_rows.size();
    beginInsertRows(QModelIndex(), row, row);
    QHash<int, QVariant> values;
    values.insert(0, number + 1);
    values.insert(1, path);
    m_rows.append(values);
    endInsertRows();
    return m_rows.size();
}

void CustomTableModel::clearRows()
{
    if (m_rows.isEmpty())
        return;
    beginRemoveRows(QModelIndex(), 0, m_rows.size() - 1);
    m_rows.clear();
    endRemoveRows();
}
