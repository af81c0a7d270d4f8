#pragma once
// A fresh main window in a temporary working directory (so db.sqlite lands there), with
// message boxes recorded instead of shown, pauses skipped and the pacing timer stopped
// until a test wants traffic on the wire.
#include "comm/SerialComm.h"
#include "sim/SimulatorHost.h"
#include "support/EventLoop.h"
#include "support/RecordingBoxes.h"
#include "support/TempWorkDir.h"
#include "ui/MessageBoxes.h"
#include "ui/main.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <utility>
#include <vector>

namespace conn_test {

using Command = std::pair<QString, int>;

// The commands not yet sent, each with the reply code it will be read with.
inline std::vector<Command> Pending(const TForm1& form)
{
    QStringList commands = form.Pipeline().CommandQueue().split(u'>');
    QStringList codes = form.Pipeline().ReplyCodeQueue().split(u'>');
    commands.removeLast();
    codes.removeLast();
    // Codes ahead of the commands belong to commands already sent.
    codes = codes.mid(codes.size() - commands.size());
    std::vector<Command> pending;
    for (qsizetype i = 0; i < commands.size(); ++i)
        pending.emplace_back(commands[i], codes[i].toInt());
    return pending;
}

inline QStringList WireLines(const SimulatorHost& host)
{
    QStringList lines;
    for (const SimReceivedLine& line : host.ReceivedLines())
        lines.append(QString::fromStdString(line.line));
    return lines;
}

class FormTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FWorkDir.IsValid());
        form = std::make_unique<TForm1>();
        boxes = RecordingBoxes::InstallOn(*form);
        form->Pause = [](int) {};
        form->CoTimer->stop();
    }

    void TearDown() override
    {
        form.reset();
    }

    // Connects to the port path the way the operator does after start-up: the first
    // click only closes, the second connects.
    void Connect(const QString& port)
    {
        if (form->combutton->text() != u"Connect")
            form->combutton->click();
        form->Combo->setEditText(port);
        form->combutton->click();
        ASSERT_EQ(form->combutton->text(), QStringLiteral("Disconnect"))
            << boxes->messages.join(u'\n').toStdString();
    }

    // Lets the pacing timer send everything queued and waits until nothing is awaited
    // (a recall's read-back takes 51 ticks).
    bool DrainQueue()
    {
        form->CoTimer->start();
        const bool drained = WaitUntil(
            [this] {
                return form->Pipeline().CommandQueue().isEmpty() && form->Pipeline().AwaitedReplyCount() == 0;
            },
            std::chrono::seconds(30));
        // The last line may still be on its way through the pty to the instrument.
        WaitUntil([this] { return form->Comm1->SendDataEmpty(); }, std::chrono::seconds(2));
        WaitUntil([] { return false; }, std::chrono::milliseconds(50));
        return drained;
    }

    std::unique_ptr<TForm1> form;
    RecordingBoxes* boxes = nullptr;

private:
    TempWorkDir FWorkDir;
};

} // namespace conn_test
