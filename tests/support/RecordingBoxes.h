#pragma once
// Message boxes for tests: nothing is shown, every text is recorded in order.
//   auto* boxes = RecordingBoxes::InstallOn(window);
//   ... act ...
//   EXPECT_EQ(boxes->messages, QStringList{"Input data cannot be empty!"});
#include "ui/MessageBoxes.h"
#include "ui/main.h"

#include <QStringList>
#include <deque>
#include <functional>

class RecordingBoxes : public IMessageBoxes
{
public:
    QStringList messages; // ShowMessage: the modal input and port messages
    QStringList errors; // ShowError: the general error display
    QStringList questions; // Ask: the question, then " | " and its choices
    // The operator's choices by caption, in order; the preferred one when none is left.
    std::deque<QString> answers;
    // Runs while a "modal" message would be open, e.g. to act as the operator meanwhile.
    std::function<void(const QString&)> onMessage;

    void ShowMessage(QWidget*, const QString& text) override
    {
        messages << text;
        if (onMessage)
            onMessage(text);
    }
    void ShowError(QWidget*, const QString& text) override { errors << text; }
    int Ask(QWidget*, const Question& question) override
    {
        questions << question.text + QStringLiteral(" | ") + question.choices.join(QStringLiteral(" | "));
        if (answers.empty())
            return question.preferred;
        const QString answer = answers.front();
        answers.pop_front();
        const int chosen = static_cast<int>(question.choices.indexOf(answer));
        return chosen >= 0 ? chosen : static_cast<int>(question.choices.size()) - 1;
    }

    void Clear()
    {
        messages.clear();
        errors.clear();
        questions.clear();
        answers.clear();
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
