#pragma once
// A battery: an open-circuit voltage that depends on the state of charge, behind a series
// resistance. The voltage falls from `fullVolts` to `emptyVolts` along the curve of its
// chemistry as charge is drawn, and collapses quickly once the rated capacity is
// exhausted, so that any cut-off below `emptyVolts` is reached shortly after the capacity
// is used up.

// The shape of the discharge curve. LiIon: steep at both ends with a plateau near 3.6 to
// 3.7 V between them (at 4.2 V full, 3.0 V empty). LeadAcid: flat at first, steepening
// towards the end.
enum class CellChemistry { LiIon, LeadAcid };

struct CellVolts
{
    double full = 0;
    double empty = 0;
};
// The open-circuit voltages of a full and an exhausted battery of that chemistry: one
// Li-ion cell, or a 12 V lead-acid block.
CellVolts ChemistryVolts(CellChemistry chemistry);

class BatteryCell
{
public:
    BatteryCell(double capacityAh, double internalOhm, double fullVolts, double emptyVolts,
        CellChemistry chemistry = CellChemistry::LeadAcid);

    double OpenCircuitVolts() const { return OpenCircuitVoltsAfter(drawnAh_); }
    // The open-circuit voltage once `drawnAh` have been taken from a full battery.
    double OpenCircuitVoltsAfter(double drawnAh) const;
    // The open-circuit voltage at a state of charge (1 full, 0 empty, below 0 overdrawn).
    double OpenCircuitVoltsAt(double stateOfCharge) const;
    double InternalOhm() const { return internalOhm_; }
    double CapacityAh() const { return capacityAh_; }
    double DrawnAh() const { return drawnAh_; }
    double StateOfCharge() const { return 1.0 - drawnAh_ / capacityAh_; }
    void Draw(double amps, double seconds);

private:
    double capacityAh_;
    double internalOhm_;
    double fullVolts_;
    double emptyVolts_;
    CellChemistry chemistry_;
    double drawnAh_ = 0;
};
