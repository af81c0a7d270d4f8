#pragma once
// Message boxes for tests: nothing is shown, every text is recorded in order.
//   auto* boxes = RecordingBoxes::InstallOn(window);
//   ... act ...
//   EXPECT_EQ(boxes->messages, QStringList{"Input data cannot be empty!"});
#include "ui/MessageBoxes.h"
#include "ui/main.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QStringList>
#include <functional>

class RecordingBoxes : public IMessageBoxes
{
public:
    QStringList messages; // ShowMessage: the modal input and port messages
    QStringList errors; // ShowError: the general error display
    // Runs while a "modal" message would be open, e.g. to act as the operator meanwhile.
    std::function<void(const QString&)> onMessage;
    QStringList questions; // Ask: each question's text, a line break, its informative text
    QString answer; // the caption of the button Ask chooses; none such: the escape button

    void ShowMessage(QWidget*, const QString& text) override
    {
        messages << text;
        if (onMessage)
            onMessage(text);
    }
    void ShowError(QWidget*, const QString& text) override { errors << text; }
    QAbstractButton* Ask(QMessageBox& question) override
    {
        questions << question.text() + u'\n' + question.informativeText();
        for (QAbstractButton* button : question.buttons())
            if (button->text() == answer)
                return button;
        return question.escapeButton();
    }

    void Clear()
    {
        messages.clear();
        errors.clear();
        questions.clear();
    }

    // Replaces the window's boxes; the window owns the recorder and outlives the pointer's use.
    static RecordingBoxes* InstallOn(TForm1& window)
    {
        auto boxes = std::make_unique<RecordingBoxes>();
        RecordingBoxes* raw = boxes.get();
        window.SetMessageBoxes(std::move(boxes));
        return raw;
    }
};
