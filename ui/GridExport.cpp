#include "ui/GridExport.h"

#include "store/CsvExport.h"
#include "store/ResultsQuery.h"
#include "ui/main.h"

#include <QAbstractFileIconProvider>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
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

} // namespace

void InstallCsvExportMenu(QTableView* grid, TResultsQuery* query, IMessageBoxes* boxes)
{
    auto* exportAction = new QAction(QStringLiteral("Export to CSV…"), grid);
    QObject::connect(exportAction, &QAction::triggered, grid, [grid, query, boxes] {
        NameOnlyIconProvider icons;
        QFileDialog dialog(grid, QStringLiteral("Export to CSV"),
            QDir(ExportFolder()).filePath(query->SQL().section(u' ', -1) + QStringLiteral(".csv")),
            QStringLiteral("CSV files (*.csv)"));
        dialog.setObjectName(QStringLiteral("ExportDialog"));
        // The system's own dialog may sniff files the same way; this one asks the provider.
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setIconProvider(&icons);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("csv"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return;
        // The window's boxes can be replaced after the menu was installed (tests record
        // them); ask the window for the current ones rather than keep a stale pointer.
        auto* form = qobject_cast<TForm1*>(grid->window());
        ExportResultsCsv(grid, *query, dialog.selectedFiles().first(), form ? form->MessageBoxes() : *boxes);
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
