#pragma once
// The makers the page builders place the window's controls with: each places one control
// in pixels, names it and gives it its default, so a page builder reads like the window's
// layout table.
#include "ui/ComboCompletion.h"

#include <QComboBox>
#include <QFont>
#include <QRect>
#include <QString>
#include <QStringList>
#include <vector>

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableView;
class QWidget;
class TForm1;
class TResultsQuery;

namespace layout {

constexpr int kBigButton = 24;
constexpr int kBoldButton = 12;

struct GridColumn
{
    const char* field;
    const char* title;
    int width;
};

QFont SizedFont(const QFont& base, int pixels, bool bold);
QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y);
// A label level with the text of the 21-pixel edits of its row.
QLabel* MakeRowLabel(QWidget* parent, const QString& text, int x, int rowY);
QLineEdit* MakeEdit(QWidget* parent, const QString& name, const QString& text, int x, int y, int w);
QRadioButton* MakeRadio(
    QWidget* parent, const char* name, const QString& text, int x, int y, int w, bool checked);
QPushButton* MakeButton(
    QWidget* parent, const QString& name, const QString& text, const QRect& rect, int pixels = 0);
QGroupBox* MakeGroup(QWidget* parent, const char* name, const QString& title, const QRect& rect,
    Qt::Alignment titleAlignment = Qt::AlignLeft);
QFrame* MakePanel(QWidget* parent, const char* name, const QRect& rect);
// The big blue readings; blank until the first measurement arrives.
QLabel* MakeDisplay(QWidget* parent, const char* name, int x, int y, int w);
// A black result lamp of the list test; the verdict recolours its face.
QLabel* MakeResultPanel(QWidget* parent, const char* name, const QString& caption, int x, int y);
QWidget* MakePage(QTabWidget* pages, const char* name, const QString& caption);
// Shows the named fields in this order, with these titles and widths, and hides the rest.
void ShowGridColumns(QTableView* grid, const std::vector<GridColumn>& columns);
QTableView* MakeGrid(QWidget* parent, const char* name, const QRect& rect, TResultsQuery* query,
    const std::vector<GridColumn>& columns);

// Every combo box of the window is editable, and a typed text is never added to the list.
template <class Combo = QComboBox>
Combo* MakeCombo(
    QWidget* parent, const QString& name, const QStringList& items, const QString& text, int x, int y, int w)
{
    auto* combo = new Combo(parent);
    combo->setObjectName(name);
    combo->addItems(items);
    parent->window()->findChild<ComboCompletion*>(QString(), Qt::FindDirectChildrenOnly)->MakeEditable(combo);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCurrentIndex(combo->findText(text, Qt::MatchExactly));
    combo->setEditText(text);
    combo->setGeometry(x, y, w, 21);
    return combo;
}

// The page builders (one file each job); a page but Main is built when first shown.
void BuildMainPage(TForm1& w, QWidget* page);
void BuildBatteryPage(TForm1& w, QWidget* page);
void BuildListPage(TForm1& w, QWidget* page);
void BuildInstructionsPage(QWidget* page, int pageWidth);
void BuildAboutPage(TForm1& w, QWidget* page, int pageWidth);

} // namespace layout
