#pragma once
// A window over one finished run (a battery run or a profile run): its voltage against
// the capacity taken, and its incremental capacity dQ/dV against voltage with a smoothing
// width the operator sets. Earlier runs, listed by station, start and profile, can be
// ticked to draw over it for comparison.
//
// The window knows no store: it gets the run, and a function that lists the earlier runs
// when the window opens (a store's runs, or nothing). What it draws is thinned to a few
// thousand points a curve, so a run of a hundred thousand readings opens as fast as a
// short one.
#include "workflows/RunAnalysis.h"

#include <QWidget>
#include <functional>
#include <vector>

class QChartView;
class QListWidget;
class QSpinBox;
class QLabel;

using EarlierRuns = std::function<std::vector<AnalysisRun>()>;

class AnalysisView : public QWidget
{
    Q_OBJECT
public:
    // A window of its own over `parent`, deleted when closed. `earlierRuns` is asked once,
    // now; it may be empty, and the run itself is left out of what it gives.
    AnalysisView(AnalysisRun run, const EarlierRuns& earlierRuns, QWidget* parent = nullptr);

    const AnalysisRun& Run() const { return FRun; }
    // The runs drawn: this one first, then those ticked, in list order.
    std::vector<const AnalysisRun*> Drawn() const;
    // The smoothing width of dQ/dV, in mV (the spin box's value).
    int SmoothingMillivolts() const;
    void setSmoothingMillivolts(int millivolts);

    // ---- controls, by objectName
    QChartView* AnalysisCapacityChart = nullptr; // V against Ah
    QChartView* AnalysisIcaChart = nullptr; // dQ/dV against V
    QSpinBox* AnalysisSmoothing = nullptr;
    QListWidget* AnalysisEarlierRuns = nullptr;
    QLabel* AnalysisSummary = nullptr;

private:
    void Redraw();

    AnalysisRun FRun;
    std::vector<AnalysisRun> FEarlier;
};

// How a run is named in the list and the charts' legends: "station, 2026-12-10 11:35,
// first line of the profile" (the parts it has).
QString AnalysisRunCaption(const AnalysisRun& run);
