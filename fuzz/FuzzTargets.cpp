#include "fuzz/FuzzTargets.h"

#include <array>

namespace {
constexpr std::array kTargets {
    FuzzTarget { "reply_routing", FuzzReplyRouting },
    FuzzTarget { "settings_readback", FuzzSettingsReadBack },
    FuzzTarget { "measurement_cuts", FuzzMeasurementCuts },
    FuzzTarget { "number_conversion", FuzzNumberConversion },
    FuzzTarget { "sim_commands", FuzzSimulatorCommands },
    FuzzTarget { "csv_writer", FuzzCsvWriter },
    FuzzTarget { "telnet", FuzzTelnet },
};
} // namespace

std::span<const FuzzTarget> FuzzTargets()
{
    return kTargets;
}

const FuzzTarget* FindFuzzTarget(const std::string& name)
{
    for (const FuzzTarget& t : kTargets)
        if (name == t.name)
            return &t;
    return nullptr;
}

void Promise(bool kept, const std::string& what)
{
    if (!kept)
        throw FuzzFinding(what);
}
