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
