#pragma once
// Completion for the window's editable combo boxes: typing the start of an item completes
// it in place, ignoring case, as an editable box does by default. One completer serves
// every box; it takes the items of whichever box gets the focus, so thirty-odd boxes do
// not each build a completer of their own while the window starts.
#include <QObject>

class QComboBox;
class QCompleter;

class ComboCompletion : public QObject
{
    Q_OBJECT
public:
    explicit ComboCompletion(QObject* parent);

    // Makes `box` editable, with a line edit of its own, completing from its own items.
    void MakeEditable(QComboBox* box);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QCompleter* FCompleter;
};
