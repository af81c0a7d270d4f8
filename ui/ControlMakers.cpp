#include "ui/ControlMakers.h"

#include "store/ResultsQuery.h"
#include "ui/ResultLamp.h"

#include <QAbstractTableModel>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QToolTip>

namespace layout {

namespace {

// A cell too narrow for its text shows it cut short; resting the mouse on it shows the
// whole text. Elsewhere the grid's own tip shows.
class WholeTextTipDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
        const QModelIndex& index) override
    {
        if (event->type() != QEvent::ToolTip || index.data(Qt::ToolTipRole).isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        QStyleOptionViewItem item(option);
        initStyleOption(&item, index);
        const QStyle* style = view->style();
        // The style keeps this margin on either side of a cell's text.
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
        const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &item, view);
        if (item.text.isEmpty() || item.fontMetrics.horizontalAdvance(item.text) <= text.width() - 2 * margin)
            return false;
        QToolTip::showText(event->globalPos(), item.text, view->viewport(), option.rect);
        return true;
    }
};

} // namespace

// ---- fonts and text styles

QFont SizedFont(const QFont& base, int pixels, bool bold)
{
    QFont f(base);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

// ---- control makers: each places one control in pixels, names it and gives it its
// default, so the page builders below read like the window's layout table.

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y)
{
    auto* label = new QLabel(text, parent);
    label->adjustSize();
    label->move(x, y);
    return label;
}

// A label level with the text of the 21-pixel edits of its row.
QLabel* MakeRowLabel(QWidget* parent, const QString& text, int x, int rowY)
{
    auto* label = new QLabel(text, parent);
    label->adjustSize();
    label->setGeometry(x, rowY, label->width(), 21);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

QLineEdit* MakeEdit(QWidget* parent, const QString& name, const QString& text, int x, int y, int w)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setGeometry(x, y, w, 21);
    return edit;
}

QRadioButton* MakeRadio(
    QWidget* parent, const char* name, const QString& text, int x, int y, int w, bool checked)
{
    auto* radio = new QRadioButton(text, parent);
    radio->setObjectName(QLatin1String(name));
    radio->setGeometry(x, y, w, 17);
    radio->setChecked(checked);
    return radio;
}

QPushButton* MakeButton(
    QWidget* parent, const QString& name, const QString& text, const QRect& rect, int pixels)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setGeometry(rect);
    if (pixels > 0)
        button->setFont(SizedFont(button->font(), pixels, true));
    return button;
}

QGroupBox* MakeGroup(
    QWidget* parent, const char* name, const QString& title, const QRect& rect, Qt::Alignment titleAlignment)
{
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(QLatin1String(name));
    group->setGeometry(rect);
    group->setAlignment(titleAlignment);
    return group;
}

QFrame* MakePanel(QWidget* parent, const char* name, const QRect& rect)
{
    auto* panel = new QFrame(parent);
    panel->setObjectName(QLatin1String(name));
    panel->setGeometry(rect);
    // A white, sunken reading window, like the face of a meter.
    panel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    panel->setAutoFillBackground(true);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Base));
    panel->setPalette(pal);
    return panel;
}

// The big blue readings; blank until the first measurement arrives.
QLabel* MakeDisplay(QWidget* parent, const char* name, int x, int y, int w)
{
    auto* label = new QLabel(QStringLiteral(" "), parent);
    label->setObjectName(QLatin1String(name));
    label->setFont(SizedFont(label->font(), 33, true));
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(pal);
    label->setGeometry(x, y, w, 40);
    return label;
}

// A black result lamp of the list test; the verdict recolours its face.
QLabel* MakeResultPanel(QWidget* parent, const char* name, const QString& caption, int x, int y)
{
    auto* panel = new ResultLamp(caption, parent);
    panel->setObjectName(QLatin1String(name));
    panel->setGeometry(x, y, 73, 41);
    panel->setFont(SizedFont(panel->font(), 12, true));
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, Qt::black);
    panel->setPalette(pal);
    return panel;
}

QWidget* MakePage(QTabWidget* pages, const char* name, const QString& caption)
{
    auto* page = new QWidget;
    page->setObjectName(QLatin1String(name));
    pages->addTab(page, caption);
    return page;
}

// ---- results grids

// Shows the named fields in this order, with these titles and widths, and hides the rest.
void ShowGridColumns(QTableView* grid, const std::vector<GridColumn>& columns)
{
    QAbstractItemModel* model = grid->model();
    if (!model)
        return;
    QHeaderView* header = grid->horizontalHeader();
    for (int c = 0; c < model->columnCount(); ++c)
        grid->setColumnHidden(c, true);
    int visual = 0;
    for (const GridColumn& col : columns) {
        for (int c = 0; c < model->columnCount(); ++c) {
            if (model->headerData(c, Qt::Horizontal).toString() != QLatin1String(col.field))
                continue;
            model->setHeaderData(c, Qt::Horizontal, QString::fromLatin1(col.title));
            grid->setColumnHidden(c, false);
            grid->setColumnWidth(c, col.width);
            header->moveSection(header->visualIndex(c), visual++);
            break;
        }
    }
}

QTableView* MakeGrid(QWidget* parent, const char* name, const QRect& rect, TResultsQuery* query,
    const std::vector<GridColumn>& columns)
{
    auto* grid = new QTableView(parent);
    grid->setObjectName(QLatin1String(name));
    grid->setGeometry(rect);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setDefaultSectionSize(18);
    grid->horizontalHeader()->setHighlightSections(false);
    grid->setItemDelegate(new WholeTextTipDelegate(grid));
    if (QAbstractTableModel* model = query->Model()) {
        grid->setModel(model);
        ShowGridColumns(grid, columns);
    }
    return grid;
}

} // namespace layout
