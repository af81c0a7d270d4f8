#pragma once
// Connects the window to a port the way the operator does: Select, the port's path typed,
// Connect. False, said on standard error, when the window did not connect.
#include "ui/main.h"

#include <QComboBox>
#include <QPushButton>
#include <cstdio>

namespace bench {

inline bool ConnectWindow(TForm1& form, const QString& port)
{
    form.combutton->click();
    form.Combo->setEditText(port);
    form.combutton->click();
    if (form.combutton->text() == u"Disconnect")
        return true;
    std::fprintf(stderr, "could not connect to %s\n", qPrintable(port));
    return false;
}

} // namespace bench
