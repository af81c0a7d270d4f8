#pragma once
// The port box: an editable combo box that tells its owner just before its list drops
// down (so the list can be rebuilt from the ports present now) and just after the list
// has closed up again (so the chosen entry can be trimmed to its port name).
//
// An entry ("ttyS0 | Serial Port (ttyS0) | pnp") is wider than the box; the box shows its
// beginning, the port name, whenever the operator is not editing it.
#include <QComboBox>
#include <functional>

class PortComboBox : public QComboBox
{
public:
    using QComboBox::QComboBox;

    std::function<void()> OnDropDown;
    // Once per drop-down, however the list closes: an item chosen, Escape, or a click
    // elsewhere (which hides the list without going through hidePopup).
    std::function<void()> OnCloseUp;

    void showPopup() override;
    void hidePopup() override;

    // Called once the box has the line edit it keeps: from then on a text put into the box
    // shows its beginning, and so does a text the operator typed once the box loses the
    // focus.
    void ShowStartOfText();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void ClosedUp();
    bool FDroppedDown = false;
};
