#include "ui/main.h"

void TForm1::LSetButtonClick(QObject*)
{
    // The list test arrives with the test workflows.
}

void TForm1::startButtonLClick(QObject*)
{
    // The list test arrives with the test workflows.
}

void TForm1::TrigButtonClick(QObject*)
{
    // The list test arrives with the test workflows.
}

void TForm1::ListSet(const QString&)
{
    // The list test arrives with the test workflows.
}

void TForm1::ValueSet(const QString&)
{
    // The list test arrives with the test workflows.
}

void TForm1::StepReadingArrived(const StepReading&)
{
    // The list test arrives with the test workflows.
}

void TForm1::ListVerdictArrived(const QString&)
{
    // The list test arrives with the test workflows.
}

