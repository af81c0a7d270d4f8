#pragma once
// Where a source and the load meet: the load regulates one quantity, the source is an
// open-circuit voltage behind a series resistance, and the instrument's current and
// power limits cap whatever the regulation asks for.

// What the load holds constant. Short draws as much as the current limit lets it; Open
// draws nothing.
enum class Regulation { Current, Voltage, Power, Resistance, Short, Open };

struct Source
{
    double openVolts = 0;
    double seriesOhm = 0; // as seen from the point where the load senses its voltage
};

struct LoadLimits
{
    double currentMax = 0;
    double powerMax = 0;
    double onVolts = 0; // the load sinks nothing while the source stays below this
};

struct OperatingPoint
{
    double volts = 0;
    double amps = 0;
    double Watts() const { return volts * amps; }
};

// The steady state of the source loaded as asked. Never negative; never more current
// than the source can drive into a short circuit.
OperatingPoint SolveLoad(
    const Source& source, Regulation regulation, double setPoint, const LoadLimits& limits);
