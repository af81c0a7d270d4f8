#include "sim/LoadPhysics.h"

#include <algorithm>
#include <cmath>

namespace {
// The smaller of the two currents at which the source delivers `watts` (the stable side
// of the power curve); past the source's maximum power, the current of that maximum.
double CurrentForPower(const Source& s, double watts)
{
    if (s.seriesOhm <= 0)
        return s.openVolts > 0 ? watts / s.openVolts : 0;
    const double disc = s.openVolts * s.openVolts - 4 * s.seriesOhm * watts;
    if (disc <= 0)
        return s.openVolts / (2 * s.seriesOhm);
    return (s.openVolts - std::sqrt(disc)) / (2 * s.seriesOhm);
}

double RequestedCurrent(const Source& s, Regulation regulation, double setPoint, double shortAmps)
{
    switch (regulation) {
    case Regulation::Current:
        return setPoint;
    case Regulation::Voltage:
        if (setPoint >= s.openVolts)
            return 0;
        return s.seriesOhm > 0 ? (s.openVolts - setPoint) / s.seriesOhm : shortAmps;
    case Regulation::Power:
        return CurrentForPower(s, setPoint);
    case Regulation::Resistance:
        return s.openVolts / (s.seriesOhm + setPoint);
    case Regulation::Short:
        return shortAmps;
    case Regulation::Open:
        return 0;
    }
    return 0;
}
} // namespace

OperatingPoint SolveLoad(
    const Source& source, Regulation regulation, double setPoint, const LoadLimits& limits)
{
    if (source.openVolts <= 0 || source.openVolts < limits.onVolts)
        return { std::max(source.openVolts, 0.0), 0 };
    const double shortAmps = source.seriesOhm > 0 ? source.openVolts / source.seriesOhm : limits.currentMax;
    double amps = RequestedCurrent(source, regulation, std::max(setPoint, 0.0), shortAmps);
    amps = std::clamp(amps, 0.0, std::min(shortAmps, limits.currentMax));
    const double volts = source.openVolts - amps * source.seriesOhm;
    if (volts * amps > limits.powerMax)
        amps = std::min(amps, CurrentForPower(source, limits.powerMax));
    return { source.openVolts - amps * source.seriesOhm, amps };
}
