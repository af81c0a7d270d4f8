#include "ui/main.h"
#include "workflows/InputRules.h"

#include <QLineEdit>

int TForm1::dataRuleCheck(float value, float maximum)
{
    // Equal is allowed: the maximum is the instrument's own limit, which it accepts.
    if (value > maximum) {
        MessageBoxes().ShowMessage(this, RangeMessage(value, maximum));
        return 1;
    }
    return 2;
}

bool TForm1::RefuseEmpty(const QLineEdit* edit)
{
    if (!edit->text().isEmpty())
        return false;
    MessageBoxes().ShowMessage(this, kEmptyInputMessage);
    return true;
}

void TForm1::DecimalKeyPress(QObject*, QChar& Key)
{
    if (!IsDecimalKey(Key))
        Key = QChar();
}

void TForm1::WholeKeyPress(QObject*, QChar& Key)
{
    if (!IsWholeNumberKey(Key))
        Key = QChar();
}
