#pragma once
// A battery for the battery mode: its open-circuit voltage falls from `fullVolts` to
// `emptyVolts` as charge is drawn, steeper towards the end, and collapses quickly once
// the rated capacity is exhausted, so that any cut-off below `emptyVolts` is reached
// shortly after the capacity is used up.

class BatteryCell
{
public:
    BatteryCell(double capacityAh, double internalOhm, double fullVolts, double emptyVolts);

    double OpenCircuitVolts() const { return OpenCircuitVoltsAfter(drawnAh_); }
    // The open-circuit voltage once `drawnAh` have been taken from a full battery.
    double OpenCircuitVoltsAfter(double drawnAh) const;
    double InternalOhm() const { return internalOhm_; }
    double DrawnAh() const { return drawnAh_; }
    void Draw(double amps, double seconds);

private:
    double capacityAh_;
    double internalOhm_;
    double fullVolts_;
    double emptyVolts_;
    double drawnAh_ = 0;
};
