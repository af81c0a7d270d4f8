#pragma once
// A fresh main window for the battery and list test workflows, in a temporary working
// directory (so db.sqlite lands there), with message boxes recorded, pauses recorded but
// not slept, and the pacing timer stopped so queued commands stay visible.
#include "sim/SimulatorHost.h"
#include "support/EventLoop.h"
#include "support/RecordingBoxes.h"
#include "support/TempWorkDir.h"
#include "ui/MessageBoxes.h"
#include "ui/main.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include <ostream>

// Readable texts in test failures.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace testwf {

// The commands not yet sent, in order.
inline QStringList Pending(const TForm1& form)
{
    QStringList commands = form.Pipeline().CommandQueue().split(u'>');
    commands.removeLast();
    return commands;
}

// The texts of one row of a results model (Id first).
inline QStringList Row(const QAbstractItemModel& model, int row)
{
    QStringList texts;
    for (int column = 0; column < model.columnCount(); ++column)
        texts.append(model.index(row, column).data().toString());
    return texts;
}

// Rows of a table as another program reading db.sqlite sees them, without Id.
inline std::vector<QStringList> StoredRows(const QString& table)
{
    std::vector<QStringList> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        db.setDatabaseName(QStringLiteral("db.sqlite"));
        EXPECT_TRUE(db.open());
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(QStringLiteral("select * from ") + table + QStringLiteral(" order by Id")));
        while (query.next()) {
            QStringList row;
            for (int column = 1; column < query.record().count(); ++column)
                row.append(query.value(column).toString());
            rows.push_back(row);
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    return rows;
}

class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FWorkDir.IsValid());
        pauses.clear();
        pendingAtPause.clear();
        form = std::make_unique<TForm1>();
        boxes = RecordingBoxes::InstallOn(*form);
        form->Pause = [this](int ms) {
            pauses.push_back(ms);
            pendingAtPause.push_back(Pending(*form));
        };
        form->CoTimer->stop();
    }

    void TearDown() override
    {
        form.reset();
    }

    // Runs a handler the way the window does: what it throws goes to the error display.
    void Guarded(const std::function<void()>& handler) { form->RunGuarded(handler); }

    std::unique_ptr<TForm1> form;
    RecordingBoxes* boxes = nullptr;
    std::vector<int> pauses;
    std::vector<QStringList> pendingAtPause;

private:
    TempWorkDir FWorkDir;
};

inline QStringList WireLines(const SimulatorHost& host)
{
    QStringList lines;
    for (const SimReceivedLine& line : host.ReceivedLines())
        lines.append(QString::fromStdString(line.line));
    return lines;
}

// The window connected to the instrument simulator the way the operator connects, with
// its pacing timer running.
class ConnectedTest : public WindowTest
{
protected:
    void TearDown() override
    {
        WindowTest::TearDown(); // the port closes before the simulator goes
        host.reset();
    }

    void ConnectTo(const SimOptions& options)
    {
        host = std::make_unique<SimulatorHost>(options);
        host->Start();
        form->CoTimer->start();
        form->combutton->click(); // after start-up the first click only closes
        form->Combo->setEditText(host->SlavePath());
        form->combutton->click();
        ASSERT_EQ(form->combutton->text(), u"Disconnect") << boxes->messages.join(u'\n').toStdString();
        ASSERT_TRUE(DrainQueue());
    }

    // A reply that misses its tick makes the pipeline start afresh and drop what is queued
    // (a "load on", a "trig"). A busy test machine delays replies, so while polling the
    // runs go at a slower pace than the window's 300 ms, both timers alike.
    void PaceForPolling()
    {
        form->CoTimer->setInterval(600);
        form->fetchTimer->setInterval(600);
    }

    // Waits until every queued command has gone out and no answer is awaited.
    bool DrainQueue()
    {
        return WaitUntil([this] {
            return form->Pipeline().CommandQueue().isEmpty() && form->Pipeline().AwaitedReplyCount() == 0;
        });
    }

    // Waits until the simulator has received `line` as its latest line.
    bool WaitForLastLine(const QString& line)
    {
        return WaitUntil([&] {
            const QStringList lines = WireLines(*host);
            return !lines.isEmpty() && lines.last() == line;
        });
    }

    std::unique_ptr<SimulatorHost> host;
};

} // namespace testwf
