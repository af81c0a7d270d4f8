#include "sim/BatteryCell.h"

#include <algorithm>
#include <iterator>

namespace {
// Lead-acid: the fraction of the full-to-empty swing still left at a state of charge
// `soc`; 1 when full, 0 when empty, flat at first and steep near empty.
double LeadAcidFraction(double soc)
{
    constexpr double knee = 0.3;
    return soc * (1 + knee) / (soc + knee);
}

// Li-ion: a typical cell's rest voltage every 10 % of charge (at 4.2 V full, 3.0 V empty),
// joined by straight lines. The extra point at 5 % gives the drop into empty its bend.
struct CurvePoint
{
    double soc;
    double volts;
};
constexpr CurvePoint kLiIonCurve[]
    = { { 0.00, 3.00 }, { 0.05, 3.30 }, { 0.10, 3.45 }, { 0.20, 3.56 }, { 0.30, 3.62 }, { 0.40, 3.66 },
          { 0.50, 3.70 }, { 0.60, 3.76 }, { 0.70, 3.83 }, { 0.80, 3.92 }, { 0.90, 4.05 }, { 1.00, 4.20 } };

double LiIonFraction(double soc)
{
    const double first = kLiIonCurve[0].volts, last = std::prev(std::end(kLiIonCurve))->volts;
    for (std::size_t i = 1; i < std::size(kLiIonCurve); ++i) {
        const CurvePoint& a = kLiIonCurve[i - 1];
        const CurvePoint& b = kLiIonCurve[i];
        if (soc <= b.soc) {
            const double volts = a.volts + (b.volts - a.volts) * (soc - a.soc) / (b.soc - a.soc);
            return (volts - first) / (last - first);
        }
    }
    return 1.0;
}

// Volts lost per unit of state of charge drawn beyond the rated capacity: 2 % over the
// capacity costs 5 V, which takes a 12 V battery well below any sensible cut-off.
constexpr double kCollapseVoltsPerUnit = 250.0;
} // namespace

CellVolts ChemistryVolts(CellChemistry chemistry)
{
    return chemistry == CellChemistry::LiIon ? CellVolts { 4.2, 3.0 } : CellVolts { 12.6, 10.5 };
}

BatteryCell::BatteryCell(
    double capacityAh, double internalOhm, double fullVolts, double emptyVolts, CellChemistry chemistry)
    : capacityAh_(std::max(capacityAh, 1e-6))
    , internalOhm_(std::max(internalOhm, 0.0))
    , fullVolts_(fullVolts)
    , emptyVolts_(std::min(emptyVolts, fullVolts))
    , chemistry_(chemistry)
{ }

double BatteryCell::OpenCircuitVoltsAfter(double drawnAh) const
{
    return OpenCircuitVoltsAt(1.0 - drawnAh / capacityAh_);
}

double BatteryCell::OpenCircuitVoltsAt(double soc) const
{
    if (soc >= 0) {
        soc = std::min(soc, 1.0);
        const double fraction
            = chemistry_ == CellChemistry::LiIon ? LiIonFraction(soc) : LeadAcidFraction(soc);
        return emptyVolts_ + (fullVolts_ - emptyVolts_) * fraction;
    }
    return std::max(emptyVolts_ + kCollapseVoltsPerUnit * soc, 0.0);
}

void BatteryCell::Draw(double amps, double seconds)
{
    drawnAh_ += amps * seconds / 3600.0;
}
