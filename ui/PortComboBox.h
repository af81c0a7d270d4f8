#pragma once
// The port box: an editable combo box that tells its owner just before its list drops
// down (so the list can be rebuilt from the ports present now) and just after the list
// has closed up again (so the chosen entry can be trimmed to its port name).
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ClosedUp();
    bool FDroppedDown = false;
};
