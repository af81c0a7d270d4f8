// Captions measured where the window's faces fall back as on the operator's desktop: ctest
// runs this program under a real X server (Xvfb). Every caption a control can take fits
// the room its style leaves for text, on every page; the port box shows the start of its
// entry; and a grid cell too narrow for its text offers the whole text as a tooltip, any
// other cell the grid's own tip.
#include "WindowFixture.h"

#include "store/ResultsQuery.h"

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTableView>
#include <QTextDocument>
#include <QToolTip>
#include <map>

namespace {

// The captions ShowState and the list test give these controls; any other control keeps
// the caption it is built with.
std::map<QString, QStringList> CaptionsTaken(const TForm1& w)
{
    std::map<QString, QStringList> taken = {
        { "combutton", { "Select", "Connect", "Connecting…", "Disconnect" } },
        { "startButton", { "Start", "Begin", "Stop" } },
        { "startButtonB", { "Start", "Begin", "Stop" } },
        { "startButtonL", { "Start", "Begin", "Stop" } },
        // The widest readings the instrument sends: five characters and the unit.
        { "VLable", { "150.0V" } },
        { "ILable", { "30.00A" } },
        { "PLabel", { "300.0W" } },
        { "LabelBV", { "150.0V" } },
        { "LabelBI", { "30.00A" } },
        { "LabelBC", { "86400s" } },
        { "LabelBT", { "99.99Ah" } },
        { "ListS", { "S14" } },
        { "ListV", { "150.0V" } },
        { "ListI", { "30.00A" } },
    };
    for (const QLabel* verdict : w.cRes)
        taken[verdict->objectName()] = { "N/C", "PASS", "FAIL" };
    return taken;
}

// Why `text` does not fit `w`, or nothing when it does: its width (and height) in the
// control's own font against the part of the control its style draws text into.
std::optional<std::string> Misfit(QWidget* w, const QString& text)
{
    const QFontMetrics fm(w->font());
    QRect room;
    if (auto* label = qobject_cast<QLabel*>(w)) {
        const int m = label->margin();
        room = label->contentsRect().adjusted(m, m, -m, -m);
        if (label->wordWrap()) {
            // Wrapped at the label's width, every line shows and no word is cut.
            const int needed = label->heightForWidth(label->width());
            if (needed > label->height())
                return "wrapped, it needs " + std::to_string(needed) + " px of height, has "
                    + std::to_string(label->height());
            for (const QString& word : text.split(u' ', Qt::SkipEmptyParts))
                if (fm.horizontalAdvance(word) > room.width())
                    return "the word \"" + word.toStdString() + "\" is wider than the label";
            return std::nullopt;
        }
        if (label->textFormat() == Qt::RichText) {
            QTextDocument doc;
            doc.setDefaultFont(label->font());
            doc.setDocumentMargin(0);
            doc.setHtml(text);
            const QSizeF size = doc.documentLayout()->documentSize();
            if (size.width() > room.width() || size.height() > room.height())
                return "the rich text needs " + std::to_string(qCeil(size.width())) + " px, has "
                    + std::to_string(room.width());
            return std::nullopt;
        }
        // A frame indents text that sits at its left or right edge by half an "x".
        if (label->indent() < 0 && label->frameWidth() > 0
            && label->alignment() & (Qt::AlignLeft | Qt::AlignRight))
            room.setWidth(room.width() - fm.horizontalAdvance(u'x') / 2);
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = text;
        const QStyle::SubElement contents = qobject_cast<QRadioButton*>(w) ? QStyle::SE_RadioButtonContents
            : qobject_cast<QCheckBox*>(w)                                  ? QStyle::SE_CheckBoxContents
                                                                           : QStyle::SE_PushButtonContents;
        room = button->style()->subElementRect(contents, &option, button);
    }
    const QSize needed = fm.size(Qt::TextShowMnemonic, text);
    if (needed.width() <= room.width() && fm.height() <= room.height())
        return std::nullopt;
    return "needs " + std::to_string(needed.width()) + "x" + std::to_string(fm.height()) + " px, has "
        + std::to_string(room.width()) + "x" + std::to_string(room.height()) + " in "
        + QFontInfo(w->font()).family().toStdString() + " stretch "
        + std::to_string(QFontInfo(w->font()).style() == QFont::StyleNormal ? w->font().stretch() : 0);
}

QString CaptionOf(QWidget* w)
{
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->text();
    return static_cast<QLabel*>(w)->text();
}

void SetCaption(QWidget* w, const QString& text)
{
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        button->setText(text);
    else
        static_cast<QLabel*>(w)->setText(text);
}

class CaptionFitTest : public WindowTest
{
protected:
    void SetUp() override
    {
        // Offscreen, text is measured with other faces than on a desktop; a pass there
        // proves nothing about what the operator sees.
        if (QGuiApplication::platformName() != u"xcb")
            GTEST_SKIP() << "captions are measured on a real X server: run under xvfb-run "
                            "(scripts/deps installs it)";
        WindowTest::SetUp();
    }
};

} // namespace

TEST_F(CaptionFitTest, EveryCaptionFitsItsControlOnEveryPage)
{
    const std::map<QString, QStringList> taken = CaptionsTaken(*form);
    for (int page = 0; page < form->PageControl1->count(); ++page) {
        form->ShowPage(page);
        QApplication::processEvents();
        QWidget* sheet = form->PageControl1->widget(page);
        int checked = 0;
        for (QWidget* w : sheet->findChildren<QWidget*>()) {
            const bool captioned = qobject_cast<QPushButton*>(w) || qobject_cast<QRadioButton*>(w)
                || qobject_cast<QCheckBox*>(w) || qobject_cast<QLabel*>(w);
            if (!captioned || !w->isVisibleTo(sheet))
                continue;
            if (auto* label = qobject_cast<QLabel*>(w); label && !label->pixmap().isNull())
                continue;
            const QString built = CaptionOf(w);
            const auto cycle = taken.find(w->objectName());
            for (const QString& caption : cycle != taken.end() ? cycle->second : QStringList { built }) {
                if (caption.isEmpty())
                    continue; // the check box of "Auto Delay Off:", whose caption is a label
                SetCaption(w, caption);
                const std::optional<std::string> misfit = Misfit(w, caption);
                EXPECT_FALSE(misfit) << sheet->objectName().toStdString() << " "
                                     << w->objectName().toStdString() << " \"" << caption.toStdString()
                                     << "\": " << misfit.value_or("");
                ++checked;
            }
            SetCaption(w, built);
        }
        EXPECT_GT(checked, 0) << sheet->objectName().toStdString();
    }
}

TEST_F(CaptionFitTest, PortBoxShowsTheStartOfItsEntry)
{
    const QString entry = QStringLiteral("ttyS0 | Serial Port (ttyS0) | pnp");
    QLineEdit* edit = form->Combo->lineEdit();
    ASSERT_GT(edit->fontMetrics().horizontalAdvance(entry), edit->width()); // else nothing to show
    QApplication::setActiveWindow(form.get());
    const std::pair<const char*, std::function<void()>> ways[] = {
        { "entry chosen", [&] { form->Combo->setEditText(entry); } },
        { "same entry set again", [&] { form->Combo->setEditText(entry); } },
        { "simulator offered", [&] { form->EnableSimulatorPort(SimulatorPort()); } },
        { "port list read again", [&] { form->ComboDropDown(form->Combo); } },
        { "typed, then left",
            [&] {
                edit->setFocus();
                edit->clear();
                TypeKeys(edit, entry);
                form->BaudRate->setFocus();
            } },
    };
    for (const auto& [way, act] : ways) {
        act();
        QApplication::processEvents();
        EXPECT_EQ(form->Combo->currentText(), entry) << way;
        EXPECT_EQ(edit->cursorPosition(), 0) << way;
    }
}

TEST_F(CaptionFitTest, GridCellTooNarrowForItsTextShowsItAsATooltipOthersTheGridsTip)
{
    form->ADOQuery1->Insert({ "3", "CC", "0.2", "12.34", "1.234", "0.3", "0.1",
        MeasurementTimestamp(QDateTime(QDate(2025, 12, 28), QTime(14, 3, 22))), "PASS" });
    form->ADOQuery2->Insert({ "12.3456789012", "1.2", "36000", "1.234", "2025-12-28 14:03:22" });
    struct Case
    {
        QTableView* grid;
        const char* column;
        bool tip;
    };
    const Case cases[] = { { form->DBGrid1, "Time", true }, { form->DBGrid1, "Step", false },
        { form->DBGrid1, "Result", false }, { form->DBGrid2, "Input Voltage", true },
        { form->DBGrid2, "Input Current", false } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.column);
        form->ShowPage(c.grid == form->DBGrid1 ? 2 : 1);
        QApplication::processEvents();
        QToolTip::hideText();
        ASSERT_TRUE(WaitUntil([] { return !QToolTip::isVisible(); }));
        const QAbstractItemModel* model = c.grid->model();
        int column = 0;
        while (column < model->columnCount()
            && model->headerData(column, Qt::Horizontal).toString() != QLatin1String(c.column))
            ++column;
        const QModelIndex cell = model->index(0, column);
        const QRect rect = c.grid->visualRect(cell);
        ASSERT_TRUE(rect.isValid());
        QHelpEvent help(QEvent::ToolTip, rect.center(), c.grid->viewport()->mapToGlobal(rect.center()));
        QApplication::sendEvent(c.grid->viewport(), &help);
        EXPECT_EQ(QToolTip::isVisible() ? QToolTip::text() : QString(),
            c.tip ? cell.data().toString() : c.grid->toolTip());
    }
}
