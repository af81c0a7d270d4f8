#include "store/BdfExport.h"

#include "replies/Numbers.h"
#include "store/ResultsQuery.h"
#include "workflows/ProgramInfo.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <algorithm>
#include <cmath>
#include <memory>

namespace {

[[noreturn]] void ThrowWriteError(const QString& path, const QString& reason)
{
    throw EBdfExportError(QStringLiteral("Cannot write the BDF file \"%1\": %2")
                              .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), reason)
                              .toStdString());
}

// The fewest digits that read back to the same double, whatever the system's locale.
QString Number(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

std::unique_ptr<QSaveFile> OpenAside(const QString& path)
{
    if (QFileInfo(path).isDir())
        ThrowWriteError(path, QStringLiteral("this is a folder"));
    auto file = std::make_unique<QSaveFile>(path);
    if (!file->open(QIODevice::WriteOnly))
        ThrowWriteError(path, file->errorString());
    return file;
}

void Commit(QSaveFile& file)
{
    if (!file.commit())
        ThrowWriteError(file.fileName(), file.errorString());
}

QByteArray CsvText(const std::vector<BdfReading>& readings)
{
    QByteArray text = BdfHeaderLabels().join(QLatin1Char(',')).toUtf8() + "\r\n";
    double capacity = 0;
    double energy = 0;
    const BdfReading* previous = nullptr;
    for (const BdfReading& r : readings) {
        // Trapezoids over the load's current, never backwards in time: the totals only grow.
        double capacityStep = 0;
        double energyStep = 0;
        if (previous) {
            const double hours = std::max(0.0, r.testTimeSeconds - previous->testTimeSeconds) / 3600.0;
            const double i0 = std::abs(previous->current);
            const double i1 = std::abs(r.current);
            capacityStep = 0.5 * (i0 + i1) * hours;
            energyStep = 0.5 * (previous->voltage * i0 + r.voltage * i1) * hours;
        }
        capacity = r.capacityAh ? std::max(capacity, *r.capacityAh) : capacity + capacityStep;
        energy = r.energyWh ? std::max(energy, *r.energyWh) : energy + energyStep;
        // The load draws current out of the battery: a discharge, negative in this format.
        const double current = -r.current;
        const QStringList fields { Number(r.testTimeSeconds), Number(r.voltage), Number(current),
            Number(r.unixTimeSeconds), QString::number(r.cycleCount), QString::number(r.stepCount),
            QString::number(r.stepIndex), Number(capacity), Number(energy), Number(r.voltage * current),
            r.resistanceOhm ? Number(*r.resistanceOhm) : QString() };
        text += fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
        previous = &r;
    }
    return text;
}

QByteArray MetadataText(const BdfRun& run)
{
    QJsonObject settings;
    for (const auto& [name, value] : run.settings)
        settings.insert(name, value);
    QJsonObject metadata {
        { QStringLiteral("station"), run.station },
        { QStringLiteral("run_id"), run.runId },
        { QStringLiteral("profile"), run.profile },
        { QStringLiteral("program_version"), kProgramVersion },
        { QStringLiteral("settings"), settings },
    };
    // With its offset from UTC, so that a local time means one instant wherever it is read.
    const QDateTime start = run.start.toOffsetFromUtc(run.start.offsetFromUtc());
    metadata.insert(
        QStringLiteral("start_time"), run.start.isValid() ? start.toString(Qt::ISODateWithMs) : QString());
    if (run.start.isValid())
        metadata.insert(QStringLiteral("start_unix_time"), run.start.toMSecsSinceEpoch() / 1000.0);
    return QJsonDocument(metadata).toJson(QJsonDocument::Indented);
}

double RowNumber(const QStringList& row, int column, int rowNumber, const char* name)
{
    try {
        return StrToFloat(row[column].trimmed());
    } catch (const EConvertError&) {
        throw EBdfExportError(QStringLiteral("Battery row %1: the %2 \"%3\" is no number.")
                                  .arg(rowNumber)
                                  .arg(QLatin1String(name), row[column])
                                  .toStdString());
    }
}

} // namespace

const QStringList& BdfHeaderLabels()
{
    static const QStringList labels { QStringLiteral("Test Time / s"), QStringLiteral("Voltage / V"),
        QStringLiteral("Current / A"), QStringLiteral("Unix Time / s"), QStringLiteral("Cycle Count / 1"),
        QStringLiteral("Step Count / 1"), QStringLiteral("Step Index / 1"),
        QStringLiteral("Discharging Capacity / Ah"), QStringLiteral("Discharging Energy / Wh"),
        QStringLiteral("Power / W"), QStringLiteral("Internal Resistance / ohm") };
    return labels;
}

QString BdfMetadataPath(const QString& path)
{
    return path + QStringLiteral(".metadata.json");
}

void WriteBdf(const QString& path, const BdfRun& run, const std::vector<BdfReading>& readings)
{
    // Both files are opened aside before either is written, so that an unwritable folder
    // is found before anything is replaced.
    const std::unique_ptr<QSaveFile> csv = OpenAside(path);
    const std::unique_ptr<QSaveFile> metadata = OpenAside(BdfMetadataPath(path));
    const QByteArray csvText = CsvText(readings);
    if (csv->write(csvText) != csvText.size())
        ThrowWriteError(path, csv->errorString());
    const QByteArray metadataText = MetadataText(run);
    if (metadata->write(metadataText) != metadataText.size())
        ThrowWriteError(metadata->fileName(), metadata->errorString());
    Commit(*csv);
    Commit(*metadata);
}

std::vector<BdfReading> BdfReadingsFromBatteryRows(
    const std::vector<QStringList>& rows, const QDateTime& start, const QLocale& locale)
{
    std::vector<BdfReading> readings;
    readings.reserve(rows.size());
    int number = 0;
    for (const QStringList& row : rows) {
        ++number;
        if (row.size() != 5)
            throw EBdfExportError(QStringLiteral("Battery row %1 holds %2 values, not 5.")
                                      .arg(number)
                                      .arg(row.size())
                                      .toStdString());
        BdfReading r;
        r.voltage = RowNumber(row, 0, number, "voltage");
        r.current = RowNumber(row, 1, number, "current");
        r.testTimeSeconds = RowNumber(row, 2, number, "discharge time");
        r.capacityAh = RowNumber(row, 3, number, "capacity");
        const QDateTime when = ReadMeasurementTimestamp(row[4], locale, start);
        if (when.isValid())
            r.unixTimeSeconds = when.toMSecsSinceEpoch() / 1000.0;
        else if (start.isValid())
            r.unixTimeSeconds = start.toMSecsSinceEpoch() / 1000.0 + r.testTimeSeconds;
        else
            throw EBdfExportError(
                QStringLiteral("Battery row %1: the time \"%2\" does not read as a date and time.")
                    .arg(number)
                    .arg(row[4])
                    .toStdString());
        readings.push_back(r);
    }
    return readings;
}
