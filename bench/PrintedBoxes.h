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
    QAbstractButton* Ask(QMessageBox& question) override
    {
        std::fprintf(stderr, "question: %s\n", qPrintable(question.text()));
        return question.escapeButton();
    }
};

} // namespace bench
