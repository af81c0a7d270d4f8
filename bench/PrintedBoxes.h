#pragma once
// Message boxes for the benchmarks: what the window would show goes to standard error, so
// an unexpected refusal is seen without stopping the run.
#include "ui/MessageBoxes.h"

#include <QMessageBox>
#include <QString>
#include <cstdio>

namespace bench {

class PrintedBoxes : public IMessageBoxes
{
public:
    void ShowMessage(QWidget*, const QString& text) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    void ShowError(QWidget*, const QString& text) override
    {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    }
    int Ask(QWidget*, const Question& question) override
    {
        std::fprintf(stderr, "question: %s [%s]\n", qPrintable(question.text),
            qPrintable(question.choices.value(question.preferred)));
        return question.preferred;
    }
};

} // namespace bench
