#include "store/ResultsModel.h"

ResultsModel::ResultsModel(const QStringList& columnNames, QObject* parent)
    : QAbstractTableModel(parent)
    , FColumnNames(columnNames)
    , FTitles(columnNames)
{ }

int ResultsModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return static_cast<int>(FCells.size() / static_cast<size_t>(FColumnNames.size()));
}

int ResultsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(FColumnNames.size());
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    return FCells[static_cast<size_t>(index.row()) * static_cast<size_t>(FColumnNames.size())
        + static_cast<size_t>(index.column())];
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::EditRole) && section >= 0
        && section < FTitles.size())
        return FTitles[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

bool ResultsModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role)
{
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::EditRole) || section < 0
        || section >= FTitles.size())
        return false;
    const QString title = value.toString();
    if (FTitles[section] != title) {
        FTitles[section] = title;
        emit headerDataChanged(orientation, section, section);
    }
    return true;
}

Qt::ItemFlags ResultsModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void ResultsModel::AppendRow(const QString& id, const QStringList& values)
{
    Q_ASSERT(values.size() + 1 == FColumnNames.size());
    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    FCells.push_back(id);
    FCells.insert(FCells.end(), values.cbegin(), values.cend());
    endInsertRows();
}

void ResultsModel::SetId(int row, const QString& id)
{
    if (row < 0 || row >= rowCount())
        return;
    FCells[static_cast<size_t>(row) * static_cast<size_t>(columnCount())] = id;
    emit dataChanged(index(row, 0), index(row, 0));
}

void ResultsModel::Clear()
{
    if (FCells.empty())
        return;
    beginResetModel();
    FCells.clear();
    endResetModel();
}
