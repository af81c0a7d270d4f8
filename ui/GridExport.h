#pragma once
class QTableView;
class TResultsQuery;
class IMessageBoxes;

// Gives a results grid the context-menu entry "Export to CSV…", which writes the whole
// table of `query` to a file chosen in a save dialog.
void InstallCsvExportMenu(QTableView* grid, TResultsQuery* query, IMessageBoxes* boxes);
