#pragma once
// What each control of the window is for, in the operator's words: its unit and the
// instrument command it sends, shown as its tooltip. A control locked while the input is
// on or a run goes on says why, ahead of that text, and gets it back when unlocked.
#include "link/InstrumentSession.h"

#include <QString>

class QWidget;

// The tip of the control named `objectName`: its entry in the window's table, or for a row
// of the step editor ("ValStep3", "cRes12") its column's text with the step filled in;
// empty for a name the table does not know. A page's tip is its tab's.
QString ToolTipFor(const QString& objectName);

// Gives every named control inside `window` its tip, and each page's tab the tip of its
// page. Called once, after the layout is built.
void ApplyToolTips(QWidget& window);

// Locks (disables) `w` or unlocks it; a call that changes nothing does nothing. While
// locked, `reason` leads the tip of `w` and of every control inside it with a tip of its
// own; a page's tab shows it as well and is disabled, unless that page is in front (the
// tab bar would leave it for another page). Unlocked, each tip is its own again, led only
// by the reasons of locked controls around it, outermost first. A control inside a
// locked one keeps its own enabled state for when the lock goes.
void SetLocked(QWidget* w, bool locked, const QString& reason);

// The tip of a label that shows a text which may be cut short: the whole `text`, or the
// label's own tip while it shows nothing.
void SetTextToolTip(QWidget* w, const QString& text);

// Why the controls `activity` needs to stay as they are while it runs are locked.
QString LockedWhileRunning(Activity activity);
