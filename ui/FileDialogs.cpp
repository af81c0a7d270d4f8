#include "ui/FileDialogs.h"
#include "ui/WindowSettings.h"

#include <QAbstractFileIconProvider>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStyle>

namespace {

// Tells a file's icon and type from its name alone; the usual provider reads the head of
// every file it lists.
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

QString DocumentsFolder()
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

// Each kind of file opens where the operator last took one of its kind.
QString FolderKey(const FileChoice& choice)
{
    return QStringLiteral("folders/") + choice.title;
}

QString StartFolder(const FileChoice& choice)
{
    const QString last = OpenWindowSettings()->value(FolderKey(choice)).toString();
    return !last.isEmpty() && QDir(last).exists() ? last : DocumentsFolder();
}

std::optional<QString> Ask(QWidget* parent, const FileChoice& choice, QFileDialog::AcceptMode mode)
{
    NameOnlyIconProvider icons;
    QFileDialog dialog(
        parent, choice.title, QDir(StartFolder(choice)).filePath(choice.suggestedName), choice.filters);
    dialog.setObjectName(QStringLiteral("FileDialog"));
    // The system's own dialog may sniff files the same way; this one asks the provider.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setIconProvider(&icons);
    dialog.setAcceptMode(mode);
    if (mode == QFileDialog::AcceptOpen)
        dialog.setFileMode(QFileDialog::ExistingFile);
    if (!choice.defaultSuffix.isEmpty()) {
        dialog.setDefaultSuffix(choice.defaultSuffix);
    } else {
        // A name typed without a suffix gets the one of the filter chosen at that moment.
        dialog.setDefaultSuffix(FilterSuffix(choice.filters.section(QStringLiteral(";;"), 0, 0)));
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
            [&dialog](const QString& filter) { dialog.setDefaultSuffix(FilterSuffix(filter)); });
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    const QString chosen = dialog.selectedFiles().first();
    OpenWindowSettings()->setValue(FolderKey(choice), QFileInfo(chosen).absolutePath());
    return chosen;
}

} // namespace

std::optional<QString> AskFileToSave(QWidget* parent, const FileChoice& choice)
{
    return Ask(parent, choice, QFileDialog::AcceptSave);
}

std::optional<QString> AskFileToOpen(QWidget* parent, const FileChoice& choice)
{
    return Ask(parent, choice, QFileDialog::AcceptOpen);
}
