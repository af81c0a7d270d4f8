#include "ui/main.h"

void TForm1::BitBtn1Click(QObject*)
{
    // Setting memories arrive with the memories workflow.
}

void TForm1::LoadFileClick(QObject*)
{
    // Setting memories arrive with the memories workflow.
}

void TForm1::BitBtn2Click(QObject*)
{
    // Setting memories arrive with the memories workflow.
}

