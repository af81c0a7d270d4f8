#include "ui/TrafficConsole.h"

#include "link/InstrumentSession.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QShowEvent>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

namespace {

// A fixed number of lines, oldest first; a line beyond the capacity pushes out the oldest.
// The slots are made as lines come and then reused, so a long run costs no more than a
// short one.
class LineRing
{
public:
    explicit LineRing(int capacity)
        : FCapacity(capacity)
    { }

    int Count() const { return FCount; }
    int Capacity() const { return FCapacity; }
    const TrafficLine& At(int i) const { return FSlots[static_cast<size_t>((FHead + i) % FCapacity)]; }
    TrafficLine& At(int i) { return FSlots[static_cast<size_t>((FHead + i) % FCapacity)]; }

    void Push(TrafficLine line)
    {
        if (FCount == FCapacity)
            DropOldest(1);
        if (FSlots.size() < static_cast<size_t>(FCapacity))
            FSlots.push_back(std::move(line)); // until every slot is made, the next one in order
        else
            At(FCount) = std::move(line);
        ++FCount;
    }

    void DropOldest(int n)
    {
        for (int i = 0; i < n; ++i)
            At(i).text.clear(); // the text's memory goes now, not when the slot is reused
        FHead = (FHead + n) % FCapacity;
        FCount -= n;
    }

    void Clear()
    {
        FSlots.clear();
        FHead = 0;
        FCount = 0;
    }

private:
    int FCapacity;
    std::vector<TrafficLine> FSlots;
    int FHead = 0; // slot of the oldest line
    int FCount = 0;
};

// The line's text as TrafficLineText escapes it: what follows the fields before it.
QString EscapedText(const TrafficLine& line)
{
    const QString whole = TrafficLineText(line);
    return whole.mid(TrafficLineText({ line.at, line.route, line.code, QString() }).size());
}

QColor RouteColour(TrafficRoute route)
{
    switch (route) {
    case TrafficRoute::Sent:
        return QColor(0, 0, 160);
    case TrafficRoute::Unsolicited:
    case TrafficRoute::Misshapen:
    case TrafficRoute::NoAnswer:
        return QColor(176, 0, 0); // the instrument did not say what was asked
    case TrafficRoute::Ignored:
    case TrafficRoute::Late:
        return QColor(112, 112, 112); // dropped: nothing became of it
    case TrafficRoute::Reading:
    case TrafficRoute::ReadBack:
    case TrafficRoute::Verbatim:
        break;
    }
    return {};
}

} // namespace

// The lines drawn, and behind them those that arrived since the last batch.
class TrafficConsole::Lines : public QAbstractTableModel
{
public:
    enum Column { Time, Route, Code, Text, Columns };

    explicit Lines(QObject* parent)
        : QAbstractTableModel(parent)
        , FShown(kCapacity)
        , FWaiting(kCapacity)
    { }

    const LineRing& Shown() const { return FShown; }
    int Waiting() const { return FWaiting.Count(); }
    void Add(const TrafficLine& line) { FWaiting.Push(line); }

    // Moves the waiting lines to the end of the table in one insertion, after one removal
    // of the oldest rows they push out. Returns how many rows went from the top.
    int Flush()
    {
        const int incoming = FWaiting.Count();
        if (incoming == 0)
            return 0;
        const int dropped = std::min(FShown.Count(), FShown.Count() + incoming - FShown.Capacity());
        if (dropped > 0) {
            beginRemoveRows({}, 0, dropped - 1);
            FShown.DropOldest(dropped);
            endRemoveRows();
        }
        beginInsertRows({}, FShown.Count(), FShown.Count() + incoming - 1);
        for (int i = 0; i < incoming; ++i)
            FShown.Push(std::move(FWaiting.At(i)));
        FWaiting.Clear();
        endInsertRows();
        return std::max(dropped, 0);
    }

    void Clear()
    {
        beginResetModel();
        FShown.Clear();
        FWaiting.Clear();
        endResetModel();
    }

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : FShown.Count();
    }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : Columns; }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= FShown.Count())
            return {};
        const TrafficLine& line = FShown.At(index.row());
        switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
            case Time:
                return line.at.toString(QStringLiteral("HH:mm:ss.zzz"));
            case Route:
                return TrafficRouteName(line.route);
            case Code:
                return CodeNumber(line.code);
            case Text:
                return EscapedText(line);
            }
            return {};
        case Qt::ForegroundRole:
            if (const QColor colour = RouteColour(line.route); colour.isValid())
                return colour;
            return {};
        case Qt::TextAlignmentRole:
            return index.column() == Code ? int(Qt::AlignRight | Qt::AlignVCenter)
                                          : int(Qt::AlignLeft | Qt::AlignVCenter);
        default:
            return {};
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return QAbstractTableModel::headerData(section, orientation, role);
        static const char* const names[Columns] = { "Time", "Route", "Code", "Text" };
        return section >= 0 && section < Columns ? QString::fromLatin1(names[section]) : QString();
    }

private:
    LineRing FShown;
    LineRing FWaiting;
};

TrafficConsole::TrafficConsole(
    InstrumentSession& session, std::function<IMessageBoxes&()> boxes, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , FSession(&session)
    , FBoxes(std::move(boxes))
    , FLines(new Lines(this))
{
    setObjectName(QStringLiteral("TrafficConsole"));
    setWindowTitle(QStringLiteral("Traffic"));
    if (parent)
        setFont(parent->font()); // a window of its own does not inherit the main window's

    FPause = new QPushButton(QStringLiteral("Pause"), this);
    FPause->setObjectName(QStringLiteral("PauseButton"));
    FPause->setCheckable(true);
    FPause->setToolTip(QStringLiteral("Hold the list still; what arrives meanwhile is kept"));
    auto* clear = new QPushButton(QStringLiteral("Clear"), this);
    clear->setObjectName(QStringLiteral("ClearButton"));
    auto* copy = new QPushButton(QStringLiteral("Copy"), this);
    copy->setObjectName(QStringLiteral("CopyButton"));
    copy->setToolTip(QStringLiteral("Copy the selected lines, or all of them"));
    auto* save = new QPushButton(QStringLiteral("Save…"), this);
    save->setObjectName(QStringLiteral("SaveButton"));
    FCount = new QLabel(this);
    FCount->setObjectName(QStringLiteral("TrafficCount"));

    FView = new QTableView(this);
    FView->setObjectName(QStringLiteral("TrafficView"));
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (font().pixelSize() > 0)
        fixed.setPixelSize(font().pixelSize());
    else
        fixed.setPointSizeF(font().pointSizeF());
    FView->setFont(fixed);
    FView->setModel(FLines);
    FView->setSelectionBehavior(QAbstractItemView::SelectRows);
    FView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    FView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FView->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    FView->setShowGrid(false);
    FView->setWordWrap(false);
    FView->setAlternatingRowColors(true);
    FView->setTextElideMode(Qt::ElideRight);
    // Every row alike: the view never measures rows, however many there are.
    QHeaderView* rows = FView->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(QFontMetrics(fixed).height() + 4);
    QHeaderView* columns = FView->horizontalHeader();
    columns->setStretchLastSection(true);
    columns->setHighlightSections(false);
    const QFontMetrics metrics(fixed);
    const int pad = 3 * metrics.horizontalAdvance(u' ');
    columns->resizeSection(Lines::Time, metrics.horizontalAdvance(QStringLiteral("00:00:00.000")) + pad);
    columns->resizeSection(Lines::Route, metrics.horizontalAdvance(QStringLiteral("read-back")) + pad);
    columns->resizeSection(Lines::Code, metrics.horizontalAdvance(QStringLiteral("Code")) + pad);

    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : { FPause, clear, copy, save }) {
        button->setAutoDefault(false);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    buttons->addWidget(FCount);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    layout->addLayout(buttons);
    layout->addWidget(FView, 1);
    resize(620, 360);

    FFlush = new QTimer(this);
    FFlush->setSingleShot(true);
    FFlush->setInterval(kFlushMs);
    connect(FFlush, &QTimer::timeout, this, [this] {
        if (FPaused)
            ShowCount(); // the view stands still; only the count of held lines moves
        else
            Flush();
    });
    connect(FPause, &QPushButton::toggled, this, &TrafficConsole::setPaused);
    connect(clear, &QPushButton::clicked, this, &TrafficConsole::Clear);
    connect(copy, &QPushButton::clicked, this, &TrafficConsole::CopyToClipboard);
    connect(save, &QPushButton::clicked, this, &TrafficConsole::SaveAs);
    ShowCount();
}

TrafficConsole::~TrafficConsole()
{
    // Destroyed with the main window, possibly after the session: then FSession is null.
    Listen(false);
}

void TrafficConsole::Append(const TrafficLine& line)
{
    FLines->Add(line);
    if (!FFlush->isActive())
        FFlush->start();
}

void TrafficConsole::Flush()
{
    if (FPaused)
        return;
    QScrollBar* bar = FView->verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    const int readingAt = bar->value();
    const int dropped = FLines->Flush();
    if (follow)
        FView->scrollToBottom();
    else if (dropped > 0)
        bar->setValue(readingAt - dropped); // the lines the operator reads stay in place
    ShowCount();
}

void TrafficConsole::setPaused(bool paused)
{
    if (FPaused == paused)
        return;
    FPaused = paused;
    FPause->setChecked(paused);
    FPause->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    if (!paused)
        Flush();
    ShowCount();
}

void TrafficConsole::Clear()
{
    FFlush->stop();
    FLines->Clear();
    ShowCount();
}

QAbstractItemModel* TrafficConsole::Model() const
{
    return FLines;
}

int TrafficConsole::LinesShown() const
{
    return FLines->Shown().Count();
}

int TrafficConsole::LinesWaiting() const
{
    return FLines->Waiting();
}

QString TrafficConsole::Text() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : FView->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    if (rows.empty()) {
        rows.resize(static_cast<size_t>(LinesShown()));
        for (size_t i = 0; i < rows.size(); ++i)
            rows[i] = static_cast<int>(i);
    }
    QString text;
    for (const int row : rows)
        text += TrafficLineText(FLines->Shown().At(row)) + u'\n';
    return text;
}

void TrafficConsole::CopyToClipboard() const
{
    QApplication::clipboard()->setText(Text());
}

bool TrafficConsole::SaveTo(const QString& path)
{
    // Written aside and renamed over the target, so a failed save leaves an earlier file whole.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        file.write(Text().toUtf8());
        if (file.commit())
            return true;
    }
    FBoxes().ShowMessage(this,
        QStringLiteral("The traffic could not be saved to %1: %2")
            .arg(QDir::toNativeSeparators(path), file.errorString()));
    return false;
}

void TrafficConsole::SaveAs()
{
    const QString name = QStringLiteral("traffic-%1.txt")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    if (const auto path = AskFileToSave(this,
            { QStringLiteral("Save Traffic"), name, QStringLiteral("Text files (*.txt);;All files (*)"),
                QStringLiteral("txt") }))
        SaveTo(*path);
}

void TrafficConsole::showEvent(QShowEvent* event)
{
    Listen(true);
    QWidget::showEvent(event);
}

void TrafficConsole::hideEvent(QHideEvent* event)
{
    // A minimised console still listens; one hidden or closed costs the session nothing.
    if (!event->spontaneous())
        Listen(false);
    QWidget::hideEvent(event);
}

void TrafficConsole::Listen(bool on)
{
    if (FListening == on)
        return;
    FListening = on;
    if (!FSession)
        return;
    if (on)
        FSession->OnTraffic = [this](InstrumentSession*, const TrafficLine& line) { Append(line); };
    else
        FSession->OnTraffic = nullptr;
}

void TrafficConsole::ShowCount()
{
    const int shown = LinesShown();
    QString text
        = shown == 1 ? QStringLiteral("1 line") : QStringLiteral("%1 lines").arg(QLocale().toString(shown));
    if (FPaused && LinesWaiting() > 0)
        text += QStringLiteral(", %1 held").arg(QLocale().toString(LinesWaiting()));
    FCount->setText(text);
}
