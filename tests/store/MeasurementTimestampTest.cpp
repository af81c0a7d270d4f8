// The local date-and-time text stored with every row.
#include "store/ResultsQuery.h"

#include <QDateTime>
#include <QLocale>
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
        const QString expected = c.withTime
            ? date + " " + system.toString(c.when, system.timeFormat(QLocale::LongFormat))
            : date;
        EXPECT_EQ(MeasurementTimestamp(c.when), expected) << c.when.toString(Qt::ISODateWithMs).toStdString();
    }
}

} // namespace
