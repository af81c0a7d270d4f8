#include "workflows/TestRules.h"

#include "replies/Numbers.h"

#include <algorithm>
#include <array>

namespace {

std::optional<int> WholeNumberIn(const QString& text, int lowest, int highest)
{
    try {
        const int value = StrToInt(text);
        if (value >= lowest && value <= highest)
            return value;
    } catch (const EConvertError&) {
        // Not a whole number: refused like one out of range.
    }
    return std::nullopt;
}

QString StepPrefix(int step)
{
    return QStringLiteral("list:step") + QString::number(step);
}

} // namespace

std::optional<int> TestPeriodSeconds(const QString& text)
{
    return WholeNumberIn(text, 1, kMaxTestPeriodSeconds);
}

std::optional<int> ListStepCount(const QString& text)
{
    return WholeNumberIn(text, 1, kListSteps);
}

std::optional<int> ListStepIndex(const QString& text)
{
    return WholeNumberIn(text, 0, kListSteps - 1);
}

QString ListModeWord(int itemIndex)
{
    static const std::array<const char*, 6> words { "cc", "cv", "cp", "cr", "sh", "op" };
    if (itemIndex < 0 || itemIndex >= static_cast<int>(words.size()))
        return QStringLiteral("cc");
    return QString::fromLatin1(words[static_cast<size_t>(itemIndex)]);
}

bool ModeTakesLevel(const QString& modeWord)
{
    return modeWord != u"sh" && modeWord != u"op";
}

QString CompareWord(int itemIndex)
{
    static const std::array<const char*, 4> words { "curr", "volt", "pow", "off" };
    if (itemIndex < 0 || itemIndex >= static_cast<int>(words.size()))
        return QStringLiteral("curr");
    return QString::fromLatin1(words[static_cast<size_t>(itemIndex)]);
}

QString StepModeCommand(int step, const QString& modeWord)
{
    return StepPrefix(step) + QStringLiteral(":lmod ") + modeWord;
}

QString StepLevelCommand(int step, const QString& value, const QString& delay)
{
    return StepPrefix(step) + QStringLiteral(":lev ") + value + u',' + delay;
}

QString StepCompareCommand(int step, const QString& compareWord, const QString& low, const QString& high)
{
    if (compareWord == u"off")
        return StepPrefix(step) + QStringLiteral(":comp off");
    return StepPrefix(step) + QStringLiteral(":comp ") + compareWord + u',' + low + u',' + high;
}

QString StepVerdictCaption(const QString& verdict)
{
    if (verdict == u"0")
        return QStringLiteral("N/C");
    if (verdict == u"1")
        return QStringLiteral("PASS");
    if (verdict == u"2")
        return QStringLiteral("FAIL");
    return {};
}

void AddWindowPoint(QList<QPointF>& shown, const QPointF& point, double minX)
{
    if (!shown.isEmpty() && shown.last().x() == point.x()) {
        // Fold the run of this x: it holds at most four points, so this stays cheap.
        qsizetype start = shown.size() - 1;
        while (start > 0 && shown[start - 1].x() == point.x())
            --start;
        const QPointF first = shown[start];
        double lowest = point.y();
        double highest = point.y();
        for (qsizetype i = start; i < shown.size(); ++i) {
            lowest = std::min(lowest, shown[i].y());
            highest = std::max(highest, shown[i].y());
        }
        shown.resize(start);
        shown.append(first);
        for (const double y : { lowest, highest, point.y() }) {
            if (shown.last().y() != y)
                shown.append(QPointF(point.x(), y));
        }
    } else {
        shown.append(point);
    }
    // The first point is needed only while the line enters the window from it.
    while (shown.size() > 1 && shown[0].x() < minX && shown[1].x() <= minX)
        shown.removeFirst();
}

QList<QPointF> ColumnPoints(const std::vector<QPointF>& points, double minX, double maxX, int columns)
{
    QList<QPointF> shown;
    auto from = std::lower_bound(
        points.begin(), points.end(), minX, [](const QPointF& p, double x) { return p.x() < x; });
    const auto to
        = std::upper_bound(from, points.end(), maxX, [](double x, const QPointF& p) { return x < p.x(); });
    // A point exactly on the left edge needs no lead-in.
    if (from != points.begin() && (from == points.end() || from->x() > minX))
        shown.append(*(from - 1));
    const double perColumn = maxX > minX ? columns / (maxX - minX) : 0;
    const auto columnOf = [&](const QPointF& p) {
        return std::clamp(static_cast<int>((p.x() - minX) * perColumn), 0, std::max(columns, 1) - 1);
    };
    while (from != to) {
        const int column = columnOf(*from);
        auto lowest = from;
        auto highest = from;
        auto last = from;
        for (auto p = from + 1; p != to && columnOf(*p) == column; ++p) {
            last = p;
            if (p->y() < lowest->y())
                lowest = p;
            if (p->y() > highest->y())
                highest = p;
        }
        std::array<std::vector<QPointF>::const_iterator, 4> picked { from, lowest, highest, last };
        std::sort(picked.begin(), picked.end());
        for (auto p = picked.begin(); p != picked.end(); ++p) {
            if (p == picked.begin() || *p != *(p - 1))
                shown.append(**p);
        }
        from = last + 1;
    }
    if (to != points.end())
        shown.append(*to);
    return shown;
}
