#include "ui/GridExport.h"

#include "store/CsvExport.h"
#include "store/ResultsQuery.h"
#include "ui/main.h"

#include <QAction>
#include <QFileDialog>
#include <QTableView>
#include <stdexcept>

void InstallCsvExportMenu(QTableView* grid, TResultsQuery* query, IMessageBoxes* boxes)
{
    auto* exportAction = new QAction(QStringLiteral("Export to CSV…"), grid);
    QObject::connect(exportAction, &QAction::triggered, grid, [grid, query, boxes] {
        const QString path = QFileDialog::getSaveFileName(grid, QStringLiteral("Export to CSV"),
            query->SQL().section(u' ', -1) + QStringLiteral(".csv"), QStringLiteral("CSV files (*.csv)"));
        if (path.isEmpty())
            return;
        // The window's boxes can be replaced after the menu was installed (tests record
        // them); ask the window for the current ones rather than keep a stale pointer.
        auto* form = qobject_cast<TForm1*>(grid->window());
        ExportResultsCsv(grid, *query, path, form ? form->MessageBoxes() : *boxes);
    });
    grid->addAction(exportAction);
    grid->setContextMenuPolicy(Qt::ActionsContextMenu);
}

bool ExportResultsCsv(QWidget* parent, const TResultsQuery& query, const QString& path, IMessageBoxes& boxes)
{
    try {
        ExportCsv(*query.Model(), path);
        return true;
    } catch (const std::runtime_error& error) {
        boxes.ShowMessage(parent, QString::fromStdString(error.what()));
        return false;
    }
}
