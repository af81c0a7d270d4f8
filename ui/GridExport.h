#pragma once
class QString;
class QTableView;
class QWidget;
class TResultsQuery;
class IMessageBoxes;

// Gives a results grid the context-menu entry "Export to CSV…", which writes the whole
// table of `query` to a file chosen in a save dialog.
void InstallCsvExportMenu(QTableView* grid, TResultsQuery* query, IMessageBoxes* boxes);

// Writes the whole table of `query` (every column, every row stored this run) to the CSV
// file at `path`. A failure is shown through `boxes` and leaves an earlier file intact.
// Returns whether the file was written.
bool ExportResultsCsv(QWidget* parent, const TResultsQuery& query, const QString& path, IMessageBoxes& boxes);
