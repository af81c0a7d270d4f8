#include "sim/BatteryCell.h"

#include <algorithm>

namespace {
// Bend of the discharge curve: the fraction of the full-to-empty swing still left at a
// state of charge `soc`; 1 when full, 0 when empty, flat at first and steep near empty.
double CurveFraction(double soc)
{
    constexpr double knee = 0.3;
    return soc * (1 + knee) / (soc + knee);
}

// Volts lost per unit of state of charge drawn beyond the rated capacity: 2 % over the
// capacity costs 5 V, which takes a 12 V battery well below any sensible cut-off.
constexpr double kCollapseVoltsPerUnit = 250.0;
} // namespace

BatteryCell::BatteryCell(double capacityAh, double internalOhm, double fullVolts, double emptyVolts)
    : capacityAh_(std::max(capacityAh, 1e-6))
    , internalOhm_(std::max(internalOhm, 0.0))
    , fullVolts_(fullVolts)
    , emptyVolts_(std::min(emptyVolts, fullVolts))
{ }

double BatteryCell::OpenCircuitVoltsAfter(double drawnAh) const
{
    const double soc = 1.0 - drawnAh / capacityAh_;
    if (soc >= 0)
        return emptyVolts_ + (fullVolts_ - emptyVolts_) * CurveFraction(std::min(soc, 1.0));
    return std::max(emptyVolts_ + kCollapseVoltsPerUnit * soc, 0.0);
}

void BatteryCell::Draw(double amps, double seconds)
{
    drawnAh_ += amps * seconds / 3600.0;
}
