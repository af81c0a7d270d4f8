// The general error display: a failing handler is reported once and the window goes on;
// the real box is non-modal and never stacks a second box.
#include "WindowFixture.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <stdexcept>

namespace {

QList<QMessageBox*> VisibleBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            boxes << box;
    return boxes;
}

} // namespace

TEST_F(WindowTest, AThrowingHandlerEndsInTheErrorDisplayAndTheWindowGoesOn)
{
    form->StatusPanel0->setText("Serial Port: COM3. Baud Rate: 9600");
    bool after = false;
    form->RunGuarded([&] {
        throw std::runtime_error("'1,5' is not a valid floating point value");
        after = true;
    });
    EXPECT_FALSE(after);
    EXPECT_EQ(boxes->errors, QStringList { "'1,5' is not a valid floating point value" });
    EXPECT_TRUE(boxes->messages.isEmpty());
    // The connection text stays; the error has its own place in the status bar.
    EXPECT_EQ(form->StatusPanel0->text(), "Serial Port: COM3. Baud Rate: 9600");
    auto* line = form->StatusBar1->findChild<QLabel*>("StatusError");
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->text().contains("not a valid floating point value"));

    form->RunGuarded([] { throw 42; });
    EXPECT_EQ(boxes->errors.size(), 2);

    bool ran = false;
    form->RunGuarded([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(boxes->errors.size(), 2);
    EXPECT_TRUE(form->isVisible());
}

TEST_F(WindowTest, AClickWhoseHandlerFailsIsReportedByTheDisplay)
{
    // A baud rate that is not a whole number fails the connect at its conversion.
    form->BaudRate->setEditText("96OO");
    form->combutton->click(); // the first click after start-up only closes
    ASSERT_EQ(form->combutton->text(), "Connect");
    form->combutton->click();
    ASSERT_EQ(boxes->errors.size(), 1);
    EXPECT_TRUE(boxes->errors.front().contains("96OO")) << boxes->errors.front().toStdString();
    EXPECT_EQ(form->combutton->text(), "Connect");
}

TEST(QtMessageBoxes, TheErrorDisplayReusesOneNonModalBoxWithTheNewestText)
{
    QWidget parent;
    parent.show();
    auto real = MakeQtMessageBoxes();
    real->ShowError(&parent, "first failure");
    real->ShowError(&parent, "second failure");
    QApplication::processEvents();
    QList<QMessageBox*> shown = VisibleBoxes();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown.front()->text(), "second failure");
    EXPECT_EQ(shown.front()->windowTitle(), "Kelvaron 4410/4420 DC Load Software");
    EXPECT_FALSE(shown.front()->isModal());
    EXPECT_EQ(shown.front()->windowModality(), Qt::NonModal);

    // Closed by the operator, the next error opens the box again, still only one.
    shown.front()->button(QMessageBox::Ok)->click();
    QApplication::processEvents();
    EXPECT_TRUE(VisibleBoxes().isEmpty());
    real->ShowError(&parent, "third failure");
    shown = VisibleBoxes();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown.front()->text(), "third failure");
}
