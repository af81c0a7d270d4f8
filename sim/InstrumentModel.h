#pragma once
// The instrument without any wire: one command line in, the reply text out, and its
// state moved on by simulated time. No threads, no I/O, no clock of its own.
//
// Lines are matched without regard to letter case; numbers use "." whatever the process
// locale. A line that is not understood, or whose value is out of the instrument's
// range, is ignored as the real instrument ignores it: no reply and no change.
//
// Ordinary modes load a bench supply (12.00 V behind 0.05 ohm, plus 0.01 ohm of leads
// unless remote sense is on); the battery mode loads a BatteryCell; the list mode runs
// its steps against the bench supply. With CellWiring::EveryMode the BatteryCell takes
// the bench supply's place in every mode too, and whatever current the load draws
// discharges it.
#include "sim/BatteryCell.h"
#include "sim/InstrumentSettings.h"
#include "sim/ListRun.h"
#include "sim/LoadPhysics.h"

#include <array>
#include <limits>
#include <optional>
#include <string>

enum class TriggerSource { Manual, Bus, External };
// What the ordinary and list modes load: the bench supply, or the battery.
enum class CellWiring { BatteryModeOnly, EveryMode };

class InstrumentModel
{
public:
    static constexpr double kBenchVolts = 12.0;
    static constexpr double kBenchOhm = 0.05;
    static constexpr double kLeadOhm = 0.01; // load leads, seen unless remote sense is on
    static constexpr int kMemories = 10;

    explicit InstrumentModel(BatteryCell freshBattery = BatteryCell(2.0, 0.15, 12.6, 10.5),
        CellWiring wiring = CellWiring::BatteryModeOnly);

    // One command line without its carriage return. Returns the reply of a query;
    // nothing for a command and for a line that is not understood.
    std::optional<std::string> Execute(const std::string& line);
    // Moves simulated time on; negative or not-a-number durations are ignored.
    void Advance(double seconds);

    const InstrumentSettings& Settings() const { return settings_; }
    bool InputOn() const { return inputOn_; }
    int Address() const { return address_; }
    bool Local() const { return local_; } // after "*rtl", until the next line
    // Whether the last line given to Execute was refused (not understood, out of range).
    bool LastLineIgnored() const { return lastIgnored_; }
    TriggerSource Trigger() const { return triggerSource_; }
    double BatteryDrawnAh() const { return battery_.DrawnAh(); }
    const BatteryCell& Battery() const { return battery_; }
    // The reading the instrument shows at this moment.
    OperatingPoint Reading() const;

private:
    // The command language (InstrumentModel.cpp).
    std::optional<std::string> Query(const std::string& name);
    bool Command(const std::string& name, const std::string& args);
    bool StepCommand(ListStep& step, const std::string& what, const std::string& args);

    // The state as it moves, and the readings (InstrumentState.cpp).
    std::string FetchReply();
    std::string ListFetchReply();
    void SwitchInput(bool on);
    void ChangeMode(LoadMode mode);
    void ApplySettings(const InstrumentSettings& settings);
    void Triggered();

    LoadLimits Limits() const;
    double SenseOhm(double sourceOhm) const;
    Source BenchSource() const;
    // What the ordinary and list modes load: the bench supply, or the battery.
    Source Supply() const;
    void AdvanceOnCell(double seconds);
    void AdvanceList(double seconds);
    OperatingPoint BatteryReading(const BatteryCell& cell) const;
    OperatingPoint StepReading(const ListStep& step) const;
    const TranLevel& ActiveTranLevel() const;
    void AdvanceBattery(double seconds);
    bool BatteryAtCutoff(const BatteryCell& cell) const;

    InstrumentSettings settings_;
    std::array<InstrumentSettings, kMemories> memories_ {};

    double clock_ = 0; // simulated seconds since power-up
    bool inputOn_ = false;
    double inputOnAt_ = 0;
    int address_ = 0;
    bool local_ = false;
    bool lastIgnored_ = false;
    TriggerSource triggerSource_ = TriggerSource::Manual;

    bool tranToggled_ = false; // triggered transient: level B after an odd number of "trig"
    double pulseEndsAt_ = -std::numeric_limits<double>::infinity();

    BatteryCell battery_;
    CellWiring wiring_;
    double dischargeSeconds_ = 0; // of the present discharge, frozen at the cut-off
    double dischargeAh_ = 0;

    ListRun list_;
};
