// The instrument's numbered setting memories, and handing it back to its own panel.
#include "ui/main.h"
#include "workflows/ConnectionRules.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimer>

void TForm1::BitBtn1Click(QObject*)
{
    if (startButton->text() != u"Begin")
        return;
    ReplaceQueue({ { QStringLiteral("mmem:save ") + FileNo->currentText(), 0 } });
}

void TForm1::LoadFileClick(QObject*)
{
    ReplaceQueue({ { QStringLiteral("mmem:load ") + FileNo->currentText(), 0 } });
    // The instrument needs a moment to recall before it answers the read-back.
    Pause(500);
    for (const auto& [query, code] : SettingsReadBackQueries())
        QueueCommand(query, code);
}

void TForm1::BitBtn2Click(QObject*)
{
    fetchTimer->stop();
    QueueCommand(QStringLiteral("*rtl"), 0);
}
