#include "ui/GridExport.h"

#include "store/ResultsModel.h"
#include "store/ResultsQuery.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"

#include <QAction>
#include <QHeaderView>
#include <QTableView>
#include <algorithm>
#include <stdexcept>

namespace {

// The words a spreadsheet reader understands beside the instrument's verdict digit; 0 (no
// comparison made) is no verdict.
QString VerdictWord(const QString& digit)
{
    if (digit == u"1")
        return QStringLiteral("PASS");
    if (digit == u"2")
        return QStringLiteral("FAIL");
    return {};
}

} // namespace

QAction* InstallCsvExportMenu(QTableView* grid, TResultsQuery* query, std::function<IMessageBoxes&()> boxes)
{
    auto* exportAction = new QAction(QStringLiteral("Export to CSV…"), grid);
    QObject::connect(exportAction, &QAction::triggered, grid, [grid, query, boxes] {
        const auto path = AskFileToSave(grid,
            { QStringLiteral("Export to CSV"), query->SQL().section(u' ', -1) + QStringLiteral(".csv"),
                QStringLiteral("CSV files (*.csv)"), {} });
        if (!path)
            return;
        ExportGridCsv(grid, *path, boxes());
    });
    grid->addAction(exportAction);
    grid->setContextMenuPolicy(Qt::ActionsContextMenu);
    return exportAction;
}

std::vector<CsvColumn> GridCsvColumns(const QTableView& grid)
{
    std::vector<CsvColumn> columns;
    const QAbstractItemModel* model = grid.model();
    if (!model)
        return columns;
    // The table's own column names tell the verdict digit whatever title the grid gives it.
    const auto* results = qobject_cast<const ResultsModel*>(model);
    const QHeaderView* header = grid.horizontalHeader();
    for (int visual = 0; visual < header->count(); ++visual) {
        const int section = header->logicalIndex(visual);
        if (grid.isColumnHidden(section))
            continue;
        columns.push_back({ section, model->headerData(section, Qt::Horizontal).toString(), {} });
        if (results && results->ColumnNames().value(section) == u"Result")
            columns.push_back({ section, QStringLiteral("Verdict"), VerdictWord });
    }
    return columns;
}

bool ExportGridCsv(QTableView* grid, const QString& path, IMessageBoxes& boxes)
{
    try {
        ExportCsv(*grid->model(), GridCsvColumns(*grid), path);
        return true;
    } catch (const std::runtime_error& error) {
        boxes.ShowMessage(grid, QString::fromStdString(error.what()));
        return false;
    }
}

std::vector<QStringList> GridRows(const QAbstractItemModel& model, int firstRow)
{
    std::vector<QStringList> rows;
    for (int row = std::max(0, firstRow); row < model.rowCount(); ++row) {
        QStringList values;
        for (int column = 1; column < model.columnCount(); ++column)
            values.append(model.index(row, column).data().toString());
        rows.push_back(values);
    }
    return rows;
}
