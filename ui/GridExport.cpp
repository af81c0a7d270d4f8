#include "ui/GridExport.h"

#include "store/ResultsModel.h"
#include "store/ResultsQuery.h"
#include "ui/main.h"

#include <QAbstractFileIconProvider>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStyle>
#include <QTableView>
#include <stdexcept>

namespace {

// Tells a file's icon and type from its name alone. The dialog's usual provider reads the
// head of every file it lists to guess its type; opening and closing db.sqlite that way
// drops the locks SQLite holds on it (on Linux any close of a file ends the process's
// locks on it), and another program may then take the file from under the run.
class NameOnlyIconProvider : public QAbstractFileIconProvider
{
public:
    QIcon icon(IconType type) const override
    {
        return QApplication::style()->standardIcon(type == Folder ? QStyle::SP_DirIcon
                : type == Drive                                   ? QStyle::SP_DriveHDIcon
                                                                  : QStyle::SP_FileIcon);
    }
    QIcon icon(const QFileInfo& info) const override { return icon(info.isDir() ? Folder : File); }
    QString type(const QFileInfo& info) const override
    {
        if (info.isDir())
            return QStringLiteral("Folder");
        return info.suffix().isEmpty() ? QStringLiteral("File")
                                       : info.suffix().toUpper() + QStringLiteral(" File");
    }
};

// The operator's documents, not the working folder where db.sqlite lives.
QString ExportFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QDir(documents).exists() ? documents : QDir::homePath();
}

// "png" of "PNG image (*.png)".
QString FilterSuffix(const QString& filter)
{
    static const QRegularExpression pattern(QStringLiteral("\\*\\.(\\w+)"));
    return pattern.match(filter).captured(1);
}

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

QAction* InstallCsvExportMenu(QTableView* grid, TResultsQuery* query, IMessageBoxes* boxes)
{
    auto* exportAction = new QAction(QStringLiteral("Export to CSV…"), grid);
    QObject::connect(exportAction, &QAction::triggered, grid, [grid, query, boxes] {
        const QString path = AskExportPath(grid, QStringLiteral("Export to CSV"),
            query->SQL().section(u' ', -1) + QStringLiteral(".csv"), { QStringLiteral("CSV files (*.csv)") });
        if (path.isEmpty())
            return;
        // The window's boxes can be replaced after the menu was installed (tests record
        // them); ask the window for the current ones rather than keep a stale pointer.
        auto* form = qobject_cast<TForm1*>(grid->window());
        ExportGridCsv(grid, path, form ? form->MessageBoxes() : *boxes);
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

QString AskExportPath(QWidget* parent, const QString& title, const QString& fileName, const QStringList& filters)
{
    NameOnlyIconProvider icons;
    QFileDialog dialog(parent, title, QDir(ExportFolder()).filePath(fileName), filters.join(QStringLiteral(";;")));
    dialog.setObjectName(QStringLiteral("ExportDialog"));
    // The system's own dialog may sniff files the same way; this one asks the provider.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setIconProvider(&icons);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(FilterSuffix(filters.value(0)));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
        [&dialog](const QString& filter) { dialog.setDefaultSuffix(FilterSuffix(filter)); });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}
