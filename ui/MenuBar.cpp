#include "ui/MenuBar.h"

#include "ui/MessageBoxes.h"
#include "ui/main.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QTabWidget>
#include <QUrl>

namespace {

// An entry of the bar that does what `target` does; its own caption says where it acts.
void AddRelay(
    QMenu* menu, const char* name, const QString& caption, QAction* target, QAction* before = nullptr)
{
    if (!target)
        return;
    auto* entry = new QAction(caption, menu);
    menu->insertAction(before, entry);
    entry->setObjectName(QString::fromLatin1(name));
    QObject::connect(entry, &QAction::triggered, target, &QAction::trigger);
    // Enabled and disabled with what it stands for.
    entry->setEnabled(target->isEnabled());
    QObject::connect(target, &QAction::enabledChanged, entry, &QAction::setEnabled);
}

QAction* AddEntry(QMenu* menu, const char* name, const QString& caption, const QKeySequence& keys = {})
{
    QAction* entry = menu->addAction(caption);
    entry->setObjectName(QString::fromLatin1(name));
    entry->setShortcut(keys);
    // The window's own shortcut, whichever page or field has the focus.
    entry->setShortcutContext(Qt::WindowShortcut);
    return entry;
}

QMenu* AddMenu(QMenuBar* bar, const char* name, const QString& caption)
{
    QMenu* menu = bar->addMenu(caption);
    menu->setObjectName(QString::fromLatin1(name));
    return menu;
}

void OpenDocumentation(TForm1& form)
{
    const QString folder = DocumentationFolder();
    if (folder.isEmpty()) {
        form.MessageBoxes().ShowMessage(&form,
            QStringLiteral("The documentation is not installed: it is in the docs folder of the program's "
                           "sources."));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        form.MessageBoxes().ShowMessage(
            &form, QStringLiteral("No program opens folders here. The documentation is in %1.").arg(folder));
}

} // namespace

QString DocumentationFolder()
{
    const QDir beside(QCoreApplication::applicationDirPath());
    for (const QString& candidate : { beside.absoluteFilePath(QStringLiteral("../share/doc/dcload")),
             QStringLiteral(DCLOAD_SOURCE_DOCS) }) {
        if (QFileInfo(candidate + QStringLiteral("/results-database.md")).isFile())
            return QDir::cleanPath(candidate);
    }
    return {};
}

void BuildMenuBar(TForm1& form, const MenuActions& actions)
{
    QMenuBar* bar = form.menuBar();
    bar->setObjectName(QStringLiteral("MenuBar"));

    QMenu* file = AddMenu(bar, "FileMenu", QStringLiteral("&File"));
    // The pages' entries go before these separators once the pages are built.
    file->addSeparator()->setObjectName(QStringLiteral("FileResultsEnd"));
    file->addSeparator()->setObjectName(QStringLiteral("FileStepsEnd"));
    QObject::connect(AddEntry(file, "QuitMenu", QStringLiteral("&Quit"), QKeySequence::Quit),
        &QAction::triggered, &form, &QWidget::close);

    QMenu* view = AddMenu(bar, "ViewMenu", QStringLiteral("&View"));
    QObject::connect(
        AddEntry(view, "TrafficMenu", QStringLiteral("&Traffic console"), QKeySequence(Qt::CTRL | Qt::Key_T)),
        &QAction::triggered, &form, &TForm1::ShowTrafficConsole);

    QMenu* battery = AddMenu(bar, "BatteryMenu", QStringLiteral("&Battery"));
    AddRelay(battery, "ProfileMenu", QStringLiteral("Profile…"), actions.profile);
    AddRelay(battery, "BatteryAnalysisMenu", QStringLiteral("Analysis of the battery run…"),
        actions.batteryAnalysis);
    AddRelay(battery, "BatteryReportMenu", QStringLiteral("Battery run report…"), actions.batteryReport);

    QMenu* help = AddMenu(bar, "HelpMenu", QStringLiteral("&Help"));
    QObject::connect(
        AddEntry(help, "DocumentationMenu", QStringLiteral("&Documentation"), QKeySequence::HelpContents),
        &QAction::triggered, &form, [&form] { OpenDocumentation(form); });
    QObject::connect(AddEntry(help, "AboutMenu", QStringLiteral("&About")), &QAction::triggered, &form,
        [&form] { form.PageControl1->setCurrentWidget(form.TabSheet5); });

    // A menu about to open shows every entry, so the pages its entries act on are built first.
    for (QMenu* menu : { file, view, battery })
        QObject::connect(menu, &QMenu::aboutToShow, &form, &TForm1::BuildAllPages);
}

void AddPageMenuEntries(TForm1& form, const MenuActions& actions)
{
    QMenuBar* bar = form.menuBar();
    auto* file = bar->findChild<QMenu*>(QStringLiteral("FileMenu"));
    auto* resultsEnd = file->findChild<QAction*>(QStringLiteral("FileResultsEnd"));
    auto* stepsEnd = file->findChild<QAction*>(QStringLiteral("FileStepsEnd"));
    AddRelay(file, "ExportBatteryMenu", QStringLiteral("Export battery results to CSV…"),
        actions.exportBattery, resultsEnd);
    AddRelay(file, "ExportListMenu", QStringLiteral("Export list results to CSV…"), actions.exportList,
        resultsEnd);
    // The chart's own entries: a choice of span, and a check mark that follows the view.
    if (actions.saveChart)
        file->insertAction(resultsEnd, actions.saveChart);
    AddRelay(file, "LoadStepsMenu", QStringLiteral("Load list program…"), actions.loadSteps, stepsEnd);
    AddRelay(file, "SaveStepsMenu", QStringLiteral("Save list program…"), actions.saveSteps, stepsEnd);

    if (actions.wholeRun)
        bar->findChild<QMenu*>(QStringLiteral("ViewMenu"))->addAction(actions.wholeRun);

    auto* battery = bar->findChild<QMenu*>(QStringLiteral("BatteryMenu"));
    AddRelay(battery, "ExportBatteryBdfMenu", QStringLiteral("Export battery results to BDF…"),
        actions.exportBatteryBdf, battery->findChild<QAction*>(QStringLiteral("BatteryReportMenu")));
}
