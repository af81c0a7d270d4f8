#include "ui/main.h"

int TForm1::dataRuleCheck(float, float)
{
    // The range rule arrives with input validation.
    return 2;
}

bool TForm1::RefuseEmpty(const QLineEdit*)
{
    return false;
}

void TForm1::DecimalKeyPress(QObject*, QChar&)
{
    // Key filters arrive with input validation.
}

void TForm1::WholeKeyPress(QObject*, QChar&)
{
    // Key filters arrive with input validation.
}

