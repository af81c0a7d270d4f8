// The port box raises drop-down before its list shows and close-up once after it closes,
// however it closes.
#include "ui/PortComboBox.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QKeyEvent>
#include <gtest/gtest.h>

namespace {

struct Recorder
{
    QStringList events;
    void Attach(PortComboBox& box)
    {
        box.OnDropDown = [this, &box] {
            events << "drop-down";
            // The list is rebuilt here; the popup must show what this leaves.
            box.clear();
            box.addItems({ "ttyUSB0 | Adapter | usb", "ttyS0 | Port | pnp" });
        };
        box.OnCloseUp = [this, &box] { events << "close-up:" + box.currentText(); };
    }
};

} // namespace

TEST(PortComboBox, DropDownRebuildsTheListBeforeItShowsAndCloseUpFollowsTheChoice)
{
    PortComboBox box;
    box.setEditable(true);
    box.addItems({ "COM1", "COM2" });
    box.show();
    Recorder r;
    r.Attach(box);

    box.showPopup();
    EXPECT_EQ(r.events, QStringList { "drop-down" });
    EXPECT_EQ(box.view()->model()->rowCount(), 2);
    EXPECT_EQ(box.itemText(0), "ttyUSB0 | Adapter | usb");
    EXPECT_TRUE(box.view()->isVisible());

    box.setCurrentIndex(1);
    box.hidePopup();
    QApplication::processEvents();
    EXPECT_EQ(r.events, (QStringList { "drop-down", "close-up:ttyS0 | Port | pnp" }));
}

TEST(PortComboBox, CloseUpComesOncePerDropDownHoweverTheListCloses)
{
    PortComboBox box;
    box.setEditable(true);
    box.show();
    Recorder r;
    r.Attach(box);

    box.hidePopup(); // never dropped down: no close-up
    EXPECT_TRUE(r.events.isEmpty());

    box.showPopup();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier, "\x1b");
    QApplication::sendEvent(box.view(), &escape);
    QApplication::processEvents();
    EXPECT_EQ(r.events.count("close-up:" + box.currentText()), 1);

    // Hidden without hidePopup, as a click outside the list does.
    r.events.clear();
    box.showPopup();
    box.view()->window()->hide();
    QApplication::processEvents();
    box.hidePopup();
    EXPECT_EQ(r.events.size(), 2);
    EXPECT_TRUE(r.events.back().startsWith("close-up"));
}
