#pragma once
// Makes a fresh temporary folder the working directory for as long as it lives, so the
// window's db.sqlite never lands in the tree; the previous directory comes back after.
#include <QDir>
#include <QString>
#include <QTemporaryDir>

class TempWorkDir
{
public:
    TempWorkDir()
        : FOld(QDir::currentPath())
    {
        if (FDir.isValid())
            QDir::setCurrent(FDir.path());
    }
    ~TempWorkDir() { QDir::setCurrent(FOld); }
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    bool IsValid() const { return FDir.isValid(); }

private:
    QString FOld;
    QTemporaryDir FDir;
};
