#pragma once
// The operator's direct control of the load on the Main page: protection limits, load
// pattern, input on/off, trigger, sensing, and which page may be in front while a run
// goes on.
#include <QString>

class InstrumentSession;
class IOperatorMessages;

// ---- "Load Setup"

struct LoadSetupEntries
{
    QString maxV, maxI, maxP, minVOn, minVOff, autoOff;
    bool autoOffTicked = true; // the box before "Auto Delay Off:"
};

// Stops polling, refuses an empty limit ("Max. Power: input data cannot be empty!") or one
// that is no plain number, then queues the limits behind what is pending and stores the three maxima.
// A refusal queues none of them.
void SendLoadSetup(InstrumentSession& session, const LoadSetupEntries& entries, IOperatorMessages& messages);

// ---- "Load Pattern" and "Transient Test Parameters"

enum class LoadPattern { Current, Voltage, Power, Resistance, Short, Transient };
enum class TransientMode { Continuous, Pulse, Triggered };

struct PatternEntries
{
    LoadPattern pattern = LoadPattern::Current;
    QString setPoint; // the edit of the chosen set-point pattern
    bool transientCC = false; // "CC", else "CV"
    TransientMode transientMode = TransientMode::Continuous;
    QString levelA, widthA, levelB, widthB;
};

// Stops polling and replaces the pending commands with the pattern's. A set-point or
// transient field that is empty or no plain number is refused and queues nothing; a
// set-point above its maximum is refused with the range message and leaves what was
// pending, yet the load input may then be switched on.
void SendLoadPattern(InstrumentSession& session, const PatternEntries& entries, IOperatorMessages& messages);

// ---- input, trigger, sensing

// Every action below that sends something tells kConnectFirstMessage and sends nothing
// while no port is open.

// "Begin": input on and polling; otherwise input off and polling stopped.
void SwitchLoadInput(InstrumentSession& session);
// "trig", or kConnectFirstMessage without a port.
void Trigger(InstrumentSession& session, IOperatorMessages& messages);
// The operator chose "Local" or "Remote": sent three times, replacing what is pending,
// while the input is off. While it is on nothing is sent (false): the instrument keeps
// the mode it has.
bool SelectSense(InstrumentSession& session, bool remote);

// ---- pages

enum class Page { Main, Battery, List, Instructions, About };

// The operator selected `selected`: the test mode follows the test pages, and a running
// activity keeps its own page in front. Returns the page to show. Selecting "List Test"
// means its list must be sent again before it can be started or stepped.
Page SelectPage(InstrumentSession& session, Page selected);
