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
    return static_cast<int>(FIds.size());
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
    const size_t row = static_cast<size_t>(index.row());
    if (index.column() == 0)
        return QString::fromStdString(FIds[row]);
    const size_t cell
        = row * static_cast<size_t>(FColumnNames.size() - 1) + static_cast<size_t>(index.column() - 1);
    const size_t end = cell + 1 < FStart.size() ? FStart[cell + 1] : FText.size();
    return QString::fromUtf8(FText.data() + FStart[cell], static_cast<qsizetype>(end - FStart[cell]));
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
    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    Store(id, values);
    endInsertRows();
}

void ResultsModel::AppendRows(const std::vector<std::pair<qint64, QStringList>>& rows)
{
    if (rows.empty())
        return;
    const int first = rowCount();
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
    for (const auto& [id, values] : rows)
        Store(QString::number(id), values);
    endInsertRows();
}

void ResultsModel::Store(const QString& id, const QStringList& values)
{
    Q_ASSERT(values.size() + 1 == FColumnNames.size());
    FIds.push_back(id.toStdString());
    for (const QString& value : values) {
        FStart.push_back(static_cast<uint32_t>(FText.size()));
        FText += value.toStdString();
    }
}

void ResultsModel::SetId(int row, const QString& id)
{
    if (row < 0 || row >= rowCount())
        return;
    FIds[static_cast<size_t>(row)] = id.toStdString();
    emit dataChanged(index(row, 0), index(row, 0));
}

void ResultsModel::Clear()
{
    if (FIds.empty())
        return;
    beginResetModel();
    FIds = {};
    FText = {};
    FStart = {};
    endResetModel();
}
