#pragma once
// The rows of one results table stored during this run, for a grid. Read-only to the
// view; rows are only ever appended (or all dropped), so an append costs one row's texts
// and never re-reads or re-lays out what is already there.
#include <QAbstractTableModel>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <map>
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
    ~ResultsModel() override;

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
    // Bytes of row texts held in memory rather than in the spill file (for tests and the soak).
    size_t TextBytesInMemory() const { return FTail.size(); }

private:
    void Store(const QString& id, const QStringList& values);
    // The texts of one row, read from memory or from the spill file.
    QStringList Cells(size_t row) const;
    void Spill();
    void PutId(size_t row, const QString& id);

    QStringList FColumnNames;
    QStringList FTitles;
    // A week of readings is 604,800 rows, and the grid keeps every one of them, so the rows
    // live mostly outside the process: each row's texts are appended to an unlinked
    // temporary file in blocks, and memory holds only where each row begins (8 bytes) and
    // its Id (8 bytes when it is a number, as every stored row's is). The view asks for
    // the rows it shows, which come from a small cached block of the file. When the file
    // cannot be made or written (no temporary folder, a full disk), the rows simply stay in
    // memory: a grid never loses a row to save memory.
    std::deque<qint64> FIds;             // kNoId for an empty Id, kTextId when it is in FTextIds
    std::map<size_t, std::string> FTextIds; // the rare Id that is not a plain number
    std::deque<uint64_t> FRowStart;       // where each row's texts begin, in file + memory order
    std::string FTail;                    // texts after FSpilled, not written yet
    uint64_t FSpilled = 0;                // bytes already in the file
    size_t FNextSpill;                    // the tail's size that triggers the next write
    int FFile = -1;
    mutable std::string FBlock;           // a cached stretch of the file
    mutable uint64_t FBlockStart = 0;
};