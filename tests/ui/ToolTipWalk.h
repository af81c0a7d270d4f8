#pragma once
// The controls the operator sees on each page of the window: the tooltip tests walk them.
#include "ui/main.h"

#include <QApplication>
#include <QStatusBar>
#include <QTabWidget>
#include <vector>

// Brings page `page` to the front and returns every named control shown on it and in the
// status bar: the widgets the window names, not those Qt names inside its own ("qt_…") nor
// windows of their own (a tip's label).
inline std::vector<QWidget*> ShownControls(TForm1& form, int page)
{
    form.ShowPage(page);
    QApplication::processEvents();
    std::vector<QWidget*> shown { form.StatusBar1 };
    for (QWidget* root : { form.PageControl1->widget(page), static_cast<QWidget*>(form.StatusBar1) }) {
        for (QWidget* w : root->findChildren<QWidget*>()) {
            const QString name = w->objectName();
            if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_")) && w->isVisible() && !w->isWindow())
                shown.push_back(w);
        }
    }
    return shown;
}
