#pragma once
// Results grids written to CSV files.
#include "store/CsvExport.h"

#include <QStringList>
#include <functional>
#include <vector>

class QAbstractItemModel;
class QAction;
class QString;
class QTableView;
class TResultsQuery;
class IMessageBoxes;

// Gives a results grid the context-menu entry "Export to CSV…", which writes what the grid
// shows (GridCsvColumns) to a file chosen in a save dialog; `boxes` gives the message
// boxes current at that moment. Returns the entry, so that
// another place of the window can offer the very same export.
QAction* InstallCsvExportMenu(QTableView* grid, TResultsQuery* query, std::function<IMessageBoxes&()> boxes);

// The columns `grid` shows, in the order it shows them, under its titles. The list's step
// verdict digit (column "Result") is followed by "Verdict": PASS for 1, FAIL for 2, empty
// otherwise.
std::vector<CsvColumn> GridCsvColumns(const QTableView& grid);

// Writes every row of `grid` (GridCsvColumns) to the CSV file at `path`. A failure is shown
// through `boxes` and leaves an earlier file intact. Returns whether the file was written.
bool ExportGridCsv(QTableView* grid, const QString& path, IMessageBoxes& boxes);

// The rows of a results grid's model from `firstRow` on, each without its Id: for the
// battery grid, the values BdfReadingsFromBatteryRows reads.
std::vector<QStringList> GridRows(const QAbstractItemModel& model, int firstRow);
