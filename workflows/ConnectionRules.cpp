#include "workflows/ConnectionRules.h"

#include <algorithm>

// ---- port entries

QString PortEntry(const PresentPort& port)
{
    const QString description
        = port.description.isEmpty() ? QStringLiteral("Serial Port (%1)").arg(port.name) : port.description;
    return port.name + QStringLiteral(" | ") + description + QStringLiteral(" | ") + port.bus;
}

QStringList PortEntries(const std::vector<PresentPort>& ports, bool withSimulator)
{
    QStringList entries;
    for (const PresentPort& port : ports)
        entries.append(PortEntry(port));
    std::stable_sort(entries.begin(), entries.end(),
        [](const QString& a, const QString& b) { return QString::compare(a, b, Qt::CaseInsensitive) < 0; });
    if (entries.isEmpty())
        entries.append(kStandInPort);
    if (withSimulator)
        entries.append(kSimulatorEntry);
    return entries;
}

namespace {

bool IsBlankOrControl(QChar c)
{
    return c.unicode() <= 0x20 || c.unicode() == 0x7f;
}

} // namespace

std::optional<QString> ChosenPortName(const QString& comboText)
{
    const qsizetype bar = comboText.indexOf(u'|');
    if (bar < 0)
        return std::nullopt;
    qsizetype begin = 0;
    qsizetype end = bar;
    while (begin < end && IsBlankOrControl(comboText[begin]))
        ++begin;
    while (end > begin && IsBlankOrControl(comboText[end - 1]))
        --end;
    return comboText.mid(begin, end - begin);
}

// ---- the system's port list

QStringList ListPortDescriptions(bool withSimulator)
{
    return PortEntries(ListPresentPorts(), withSimulator);
}

// ---- settings read-back

std::vector<ReadBackQuery> SettingsReadBackQueries()
{
    std::vector<ReadBackQuery> queries {
        { QStringLiteral("mset:imax?"), 81 },
        { QStringLiteral("mset:vmax?"), 82 },
        { QStringLiteral("mset:pmax?"), 83 },
        { QStringLiteral("mset:von?"), 84 },
        { QStringLiteral("mset:voff?"), 85 },
        { QStringLiteral("mset:aoff?"), 86 },
        { QStringLiteral("load:curr?"), 72 },
        { QStringLiteral("load:volt?"), 73 },
        { QStringLiteral("load:pow?"), 74 },
        { QStringLiteral("load:res?"), 75 },
        { QStringLiteral("mset:rsen?"), 80 },
        { QStringLiteral("bat:curr?"), 91 },
        { QStringLiteral("bat:vmin?"), 92 },
        { QStringLiteral("tran:lmod?"), 101 },
        { QStringLiteral("tran:tmod?"), 102 },
        { QStringLiteral("tran:leva?"), 103 },
        { QStringLiteral("tran:levb?"), 104 },
        { QStringLiteral("list:snum?"), 111 },
        { QStringLiteral("list:smod?"), 112 },
        { QStringLiteral("list:rep?"), 113 },
    };
    constexpr int kSteps = 15;
    for (int n = 0; n < kSteps; ++n)
        queries.emplace_back(QStringLiteral("list:step%1:lev?").arg(n), 129 + n);
    for (int n = 0; n < kSteps; ++n)
        queries.emplace_back(QStringLiteral("list:step%1:comp?").arg(n), 144 + n);
    return queries;
}
