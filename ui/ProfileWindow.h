#pragma once
// The Profile window (Battery > Profile…): the operator writes or opens a discharge
// profile, runs it on the main window's instrument session and watches it: the step
// running and its end, elapsed time, Ah and Wh, a chart of voltage and current against
// time with the cell's resistance measurements on a second axis, and a table of the
// measurements, failed ones with their reason.
//
// The profile is read as it is typed; a line that is no step is marked in the editor and
// its message shown under it, and Run stays disabled until the text reads again. Every
// reading and measurement is stored in the window's results store as it comes; a row the
// store refuses goes to the window's general error display, never silently. After a run
// the readings can be written as Battery Data Format, or opened in an analysis view.
#include <QByteArray>
#include <QPointF>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

class AnalysisView;
class ProfileRun;
class QChartView;
class QLabel;
class QLineSeries;
class QPlainTextEdit;
class QPushButton;
class QScatterSeries;
class QTableWidget;
class QValueAxis;
class TForm1;
class TimeAxisLabels;
struct ProfileSample;
struct ProfileStepInfo;
struct ResistanceMeasurement;
enum class ProfileOutcome;

class ProfileWindow : public QWidget
{
    Q_OBJECT
public:
    // A window of its own over `form`, which outlives it; closing it hides it, and a run
    // goes on (the main window's close asks about the input).
    explicit ProfileWindow(TForm1& form);
    ~ProfileWindow() override;

    // The run this window starts (made on the first Run), or null before.
    ProfileRun* Run() const { return FRun.get(); }
    // Whether the editor's text reads as a profile.
    bool Readable() const { return FReadable; }

    // ---- the operator's actions
    void RunClick();
    void StopClick();
    // Reads `path` into the editor; a file that cannot be read is named in a message.
    bool OpenFile(const QString& path);
    // Writes the editor's text to `path` (JSON when it ends in ".json", the text form
    // otherwise, as written when the text does not read). Returns whether it was written.
    bool SaveFile(const QString& path);
    // The last run's readings to `path` as Battery Data Format with its sidecar.
    bool ExportBdf(const QString& path);
    // An analysis view of the last run.
    AnalysisView* ShowAnalysis();
    // The last run as a PDF report at `path`; a failure is shown naming the file.
    bool SaveReport(const QString& path);

    // ---- controls, by objectName
    QPlainTextEdit* ProfileEditor = nullptr;
    QLabel* ProfileError = nullptr; // what is wrong with the marked line
    QPushButton *ProfileOpen = nullptr, *ProfileSave = nullptr;
    QPushButton *ProfileRunButton = nullptr, *ProfileStopButton = nullptr;
    QPushButton *ProfileExportBdf = nullptr, *ProfileAnalysis = nullptr, *ProfileReport = nullptr;
    QLabel *ProfileStep = nullptr, *ProfileEnd = nullptr; // the step running and what ends it
    QLabel *ProfileElapsed = nullptr, *ProfileAh = nullptr, *ProfileWh = nullptr;
    QChartView* ProfileChart = nullptr;
    QLineSeries* ProfileVoltage = nullptr; // against the left axis
    QLineSeries* ProfileCurrent = nullptr; // against a second left axis
    QScatterSeries* ProfileResistance = nullptr; // against the right axis, mΩ
    QTableWidget* ProfileResistances = nullptr;
    QLabel* ProfileStatus = nullptr; // the runner's notes and how the run ended

private:
    void TextChanged();
    void ShowState();
    void Wire(ProfileRun& run);
    void ShowStep(const ProfileStepInfo& step);
    void ShowSample(const ProfileSample& sample);
    void ShowResistance(const ResistanceMeasurement& measurement);
    void ShowEnd(ProfileOutcome outcome, const QString& message);
    // The runs table's record of the run just begun.
    void RecordStart(const QByteArray& text);
    void ShowStatus(const QString& status);
    void Clear();
    // Draws the readings anew, thinned, once the series have grown past what is drawn.
    void Thin();
    void FitAxes();

    TForm1& FForm;
    std::unique_ptr<ProfileRun> FRun;
    bool FReadable = false;
    QByteArray FRunText; // the text the last run started with
    QString FRunLabel;
    QValueAxis *FTime = nullptr, *FVolts = nullptr, *FAmps = nullptr, *FMilliOhm = nullptr;
    TimeAxisLabels* FTimeLabels = nullptr; // h:mm:ss once the run outlasts an hour
    std::vector<QPointF> FVoltagePoints, FCurrentPoints; // every reading, for thinning
    double FLowestV = 0, FHighestV = 0, FHighestA = 0, FHighestR = 0;
};
