#pragma once
// A fresh main window in a temporary working directory (its start-up empties db.sqlite
// there), shown offscreen, with message boxes recorded instead of shown and the pacing
// timer stopped so no tick interferes with what a test does.
#include "support/RecordingBoxes.h"
#include "support/TempWorkDir.h"
#include "ui/main.h"

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

// A key press and release as the platform delivers them, `text` being what the key types.
inline void PressKey(
    QWidget* target, Qt::Key key, const QString& text = {}, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(target, &release);
}

// Types printable ASCII characters one key at a time (Qt's key codes of printable ASCII
// are the upper-case character codes).
inline void TypeKeys(QWidget* target, const QString& chars)
{
    for (QChar c : chars)
        PressKey(target, static_cast<Qt::Key>(c.toUpper().unicode()), QString(c));
}

class UiTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FWorkDir.IsValid());
        window = std::make_unique<TForm1>();
        boxes = RecordingBoxes::InstallOn(*window);
        window->CoTimer->stop();
        window->show();
    }
    void TearDown() override
    {
        window.reset();
    }

    template <class T = QWidget> T* Find(const QString& name) const { return window->findChild<T*>(name); }

    std::unique_ptr<TForm1> window;
    RecordingBoxes* boxes = nullptr;

private:
    TempWorkDir FWorkDir;
};
