#pragma once
// The traffic console: a window of its own listing every command sent and every reply
// received with what the session made of it, for finding out what the instrument really
// said. It listens to the session only while it is shown, so a closed console costs
// nothing; it keeps the newest kCapacity lines at a fixed cost however long the program
// runs, and draws what arrived at most every kFlushMs so a flood of replies does not
// repaint it once per line.
#include "link/Traffic.h"

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

class IMessageBoxes;
class InstrumentSession;
class QAbstractItemModel;
class QLabel;
class QPushButton;
class QTableView;
class QTimer;

class TrafficConsole : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kCapacity = 10'000;
    static constexpr int kFlushMs = 250;

    // `boxes` is asked for the message boxes each time one is needed: the owner may
    // replace its boxes after the console was made.
    TrafficConsole(
        InstrumentSession& session, std::function<IMessageBoxes&()> boxes, QWidget* parent = nullptr);
    ~TrafficConsole() override;

    // Takes one line as the session reports it. While paused it is held back (the oldest
    // held lines give way beyond kCapacity); otherwise it is drawn with the next batch.
    void Append(const TrafficLine& line);
    // Draws the lines that arrived since the last batch now, unless paused.
    void Flush();

    bool Paused() const { return FPaused; }
    void setPaused(bool paused);
    void Clear();

    // The lines drawn, oldest first; lines held back by a pause or waiting for the next
    // batch are not among them yet.
    QAbstractItemModel* Model() const;
    int LinesShown() const;
    int LinesWaiting() const;

    // The lines as the console saves and copies them, one per line of text: the selected
    // ones, or all drawn when none is selected.
    QString Text() const;
    void CopyToClipboard() const;
    // Writes Text() to `path`; a failure is told in a message box. Returns whether the
    // file was written.
    bool SaveTo(const QString& path);
    void SaveAs();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    class Lines;
    void Listen(bool on);
    void ShowCount();

    QPointer<InstrumentSession> FSession; // goes null if the session goes first
    std::function<IMessageBoxes&()> FBoxes;
    bool FListening = false; // this console's handler is the session's OnTraffic
    bool FPaused = false;
    Lines* FLines = nullptr;
    QTableView* FView = nullptr;
    QPushButton* FPause = nullptr;
    QLabel* FCount = nullptr;
    QTimer* FFlush = nullptr; // single shot: started by the first line after a batch
};
