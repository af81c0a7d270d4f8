// The local date-and-time text stored with every row.
#include "store/ResultsQuery.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

TEST(MeasurementTimestamp, SystemShortDateABlankAndLongTimeExceptAtMidnight)
{
    struct Case
    {
        QDateTime when;
        bool withTime;
    };
    const Case cases[] = {
        { QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)), true },
        { QDateTime(QDate(2024, 3, 5), QTime(0, 0, 0)), false },
        { QDateTime(QDate(2024, 3, 5), QTime(0, 0, 1)), true },
        { QDateTime(QDate(2024, 3, 5), QTime(0, 0, 0, 1)), true },
        { QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)), true },
        { QDateTime(QDate(2024, 2, 29), QTime(12, 0, 0)), true },
    };
    const QLocale system = QLocale::system();
    for (const Case& c : cases) {
        const QString date = system.toString(c.when.date(), QLocale::ShortFormat);
        const QString stamp = MeasurementTimestamp(c.when);
        const QString where = c.when.toString(Qt::ISODateWithMs);
        if (!c.withTime) {
            EXPECT_EQ(stamp, date) << where.toStdString();
            continue;
        }
        ASSERT_TRUE(stamp.startsWith(date + " ")) << stamp.toStdString();
        const QString time = stamp.mid(date.size() + 1);
        // Minutes and seconds as digits, and no time zone name or abbreviation.
        const QString mmss = QString("%1%2%3")
                                 .arg(c.when.time().minute(), 2, 10, QChar('0'))
                                 .arg(time.contains(':') ? ':' : '.')
                                 .arg(c.when.time().second(), 2, 10, QChar('0'));
        EXPECT_TRUE(time.contains(mmss)) << time.toStdString();
        QString letters = time;
        letters.remove(QRegularExpression("[^A-Za-z]"));
        EXPECT_TRUE(letters.isEmpty() || letters == "AM" || letters == "PM") << time.toStdString();
    }
}

} // namespace
