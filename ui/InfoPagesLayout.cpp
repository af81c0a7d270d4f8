// The Instructions and About pages.
#include "ui/AboutPage.h"
#include "ui/ControlMakers.h"
#include "ui/main.h"

#include <QLabel>

namespace layout {

void BuildInstructionsPage(QWidget* page, int pageWidth)
{
    auto* heading = new QLabel("Instructions", page);
    heading->setFont(SizedFont(page->font(), 21, true));
    heading->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    heading->setGeometry(0, 32, pageWidth, 30);

    const QFont text = SizedFont(page->font(), 13, false);
    const int x = 64;
    const int width = pageWidth - x - 48;
    int y = 0;
    auto line = [&](const QString& caption, int top) {
        auto* label = new QLabel(caption, page);
        label->setFont(text);
        label->setWordWrap(true);
        y = std::max(top, y);
        label->setGeometry(x, y, width, label->heightForWidth(width));
        y += label->height() + 1;
    };
    line("1. Open the Serial Port", 96);
    line("2. Set test mode and the corresponding parameter values", 137);
    line("3. Start testing", 179);
    // The long hint wraps onto a second line; the notice follows right below it.
    line("You can also open the db.sqlite file in an SQLite viewer, or right-click a results table to export "
         "it "
         "as CSV for a spreadsheet, after the software has completed a test.",
        239);
    line("Notice : The db.sqlite file will be emptied every time you start this software.", 256);
    line("Before that, its rows are copied into the db-archive folder beside it "
         "(db-archive/db-date-time.sqlite; the newest 50 are kept). A second window started in the "
         "same folder does not empty it: it asks, and can only open it read-only, storing none of "
         "its own readings.",
        y + 6);
}

void BuildAboutPage(TForm1& w, QWidget* page, int pageWidth)
{
    w.Image1 = new QLabel(page);
    w.Image1->setObjectName("Image1");
    w.Image1->setGeometry(16, 16, 633, 148);

    auto centred = [&](const QString& caption, int y, const QFont& font) {
        auto* label = new QLabel(caption, page);
        label->setFont(font);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setGeometry(0, y, pageWidth, QFontMetrics(font).height() + 2);
        return label;
    };
    centred(kAboutVersion, 206, SizedFont(page->font(), 13, true));
    centred(kAboutCompany, 246, page->font());
    centred(kAboutStreet, 266, page->font());
    centred(kAboutTown, 288, page->font());

    // Only the link's own text reacts, with the pointing hand, like a browser link.
    w.Label73 = centred(QString(), 307, page->font());
    w.Label73->setObjectName("Label73");
    const QColor highlight = page->palette().color(QPalette::Highlight);
    w.Label73->setText(QStringLiteral("<a href=\"%1\" style=\"color:%2; text-decoration:underline\">%1</a>")
                           .arg(kAboutWebAddress, highlight.name()));
    w.Label73->setTextFormat(Qt::RichText);
    w.Label73->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    w.Label73->setOpenExternalLinks(false);
}

// Gives every caption of a page room in the face the system has: a control whose
// caption would be clipped gets a narrower font, never another size or place.

} // namespace layout
