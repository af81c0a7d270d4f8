#include "ui/main.h"

void TForm1::FormCreate(QObject*)
{
    // Connecting to the instrument arrives with the connection workflow.
}

void TForm1::FormClose(QObject*)
{
    // Connecting to the instrument arrives with the connection workflow.
}

void TForm1::combuttonClick(QObject*)
{
    // Connecting to the instrument arrives with the connection workflow.
}

void TForm1::ComboDropDown(QObject*)
{
    // Connecting to the instrument arrives with the connection workflow.
}

void TForm1::ComboCloseUp(QObject*)
{
    // Connecting to the instrument arrives with the connection workflow.
}

void TForm1::ShowChosenPort()
{
    // Connecting to the instrument arrives with the connection workflow.
}

void TForm1::SetAddress(const QString&)
{
    // Connecting to the instrument arrives with the connection workflow.
}

void TForm1::Comm1RequestHangup(TComm*)
{
    // Connecting to the instrument arrives with the connection workflow.
}

