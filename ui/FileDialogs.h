#pragma once
// The program's file dialogs. They start in the operator's documents, not the working
// folder where db.sqlite lives, and never read a file to guess its type: on Linux any
// close of a file ends the locks the process holds on it, and a dialog that sniffed
// db.sqlite would hand it to another program in the middle of a run.
#include <QString>
#include <optional>

class QWidget;

struct FileChoice
{
    QString title;
    QString suggestedName; // placed in the documents folder
    QString filters; // "CSV files (*.csv)", several separated by ";;"
    QString defaultSuffix; // empty: the suffix of the filter chosen
};

// The file chosen to write, or nothing when the operator cancelled.
std::optional<QString> AskFileToSave(QWidget* parent, const FileChoice& choice);
// The file chosen to read, or nothing when the operator cancelled.
std::optional<QString> AskFileToOpen(QWidget* parent, const FileChoice& choice);
