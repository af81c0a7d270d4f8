#include "ui/main.h"

#include <QTabWidget>

void TForm1::fuZaiButtonClick(QObject*)
{
    // Load control arrives with the load-control workflow.
}

void TForm1::modeButtonClick(QObject*)
{
    // Load control arrives with the load-control workflow.
}

void TForm1::startButtonClick(QObject*)
{
    // Load control arrives with the load-control workflow.
}

void TForm1::DButtonClick(QObject*)
{
    // Load control arrives with the load-control workflow.
}

void TForm1::MeasureMode0Click(QObject*)
{
    // Load control arrives with the load-control workflow.
}

void TForm1::MeasureMode1Click(QObject*)
{
    // Load control arrives with the load-control workflow.
}

void TForm1::PageControl1Change(QObject*)
{
    // Load control arrives with the load-control workflow.
}

void TForm1::ShowPage(int index)
{
    PageShownByProgram = true;
    PageControl1->setCurrentIndex(index);
    PageShownByProgram = false;
}
