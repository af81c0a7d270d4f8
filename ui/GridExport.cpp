#include "ui/GridExport.h"

void InstallCsvExportMenu(QTableView*, TResultsQuery*, IMessageBoxes*)
{
    // CSV export of the result tables arrives with the test workflows.
}
