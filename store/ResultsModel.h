#pragma once
// The rows of one results table stored during this run, for a grid. Read-only to the
// view; rows are only ever appended (or all dropped), so an append costs one row's texts
// and never re-reads or re-lays out what is already there.
#include <QAbstractTableModel>
#include <QStringList>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class ResultsModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    // `columnNames` are the table's columns in table order; they are also the initial
    // horizontal header titles.
    explicit ResultsModel(const QStringList& columnNames, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // Replaces a horizontal title (display or edit role); anything else is refused.
    bool setHeaderData(
        int section, Qt::Orientation orientation, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Appends one row: `id` in the first column, then `values`, which must hold exactly
    // columnCount() - 1 texts.
    void AppendRow(const QString& id, const QStringList& values);
    // Appends rows read back from a file (Id, values as above) in one insertion.
    void AppendRows(const std::vector<std::pair<qint64, QStringList>>& rows);
    // The Id of a row stored after it was shown.
    void SetId(int row, const QString& id);
    // Drops every row; the titles stay.
    void Clear();
    const QStringList& ColumnNames() const { return FColumnNames; }

private:
    void Store(const QString& id, const QStringList& values);

    QStringList FColumnNames;
    QStringList FTitles;
    // A day of readings is 86,400 rows, so a row is kept compact: its Id (short enough to
    // live inside the string, no allocation), and its other texts as UTF-8, one after
    // another in one buffer for the whole table. A text is made again only when the view
    // asks for it, which it does for the rows it shows.
    std::vector<std::string> FIds;
    std::string FText;
    std::vector<uint32_t> FStart; // where each value cell's text begins in FText, row-major
};
