#pragma once
// Results grids written to CSV files, and the save dialog every export of the window uses.
#include "store/CsvExport.h"

#include <QStringList>
#include <vector>

class QAction;
class QString;
class QTableView;
class QWidget;
class TResultsQuery;
class IMessageBoxes;

// Gives a results grid the context-menu entry "Export to CSV…", which writes what the grid
// shows (GridCsvColumns) to a file chosen in a save dialog. Returns the entry, so that
// another place of the window can offer the very same export.
QAction* InstallCsvExportMenu(QTableView* grid, TResultsQuery* query, IMessageBoxes* boxes);

// The columns `grid` shows, in the order it shows them, under its titles. The list's step
// verdict digit (column "Result") is followed by "Verdict": PASS for 1, FAIL for 2, empty
// otherwise.
std::vector<CsvColumn> GridCsvColumns(const QTableView& grid);

// Writes every row of `grid` (GridCsvColumns) to the CSV file at `path`. A failure is shown
// through `boxes` and leaves an earlier file intact. Returns whether the file was written.
bool ExportGridCsv(QTableView* grid, const QString& path, IMessageBoxes& boxes);

// Asks where an export goes: a save dialog starting in the operator's documents with
// `fileName` proposed, that never opens the files it lists (see GridExport.cpp). A name
// typed without a suffix gets the one of the chosen filter. Empty when cancelled.
QString AskExportPath(QWidget* parent, const QString& title, const QString& fileName, const QStringList& filters);
