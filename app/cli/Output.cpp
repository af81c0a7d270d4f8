#include "app/cli/Output.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString SystemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

void Complain(const QString& message)
{
    std::fprintf(stderr, "dcload-cli: %s\n", qPrintable(message));
}

std::optional<QString> PrintLine(const QByteArray& text)
{
    const QByteArray line = text + '\n';
    if (std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout)
            == static_cast<size_t>(line.size())
        && std::fflush(stdout) == 0)
        return std::nullopt;
    return QStringLiteral("standard output cannot be written: %1").arg(SystemError());
}

// ---- ReadingsFile

ReadingsFile::ReadingsFile(QString path)
    : FPath(std::move(path))
{
    const QByteArray target = QFile::encodeName(FPath);
    struct stat existing
    {
    };
    const bool exists = ::stat(target.constData(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode))
        throw std::runtime_error("cannot write " + FPath.toStdString() + ": it is a folder");
    // Made with the user's umask, as the file itself would be; several tries for a name
    // another process took in between.
    for (int attempt = 0; attempt < 10 && FDescriptor < 0; ++attempt) {
        FTemporary = FPath
            + QStringLiteral(".partial-%1")
                  .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        FDescriptor = ::open(
            QFile::encodeName(FTemporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (FDescriptor < 0 && errno != EEXIST)
            break;
    }
    if (FDescriptor < 0)
        throw std::runtime_error("cannot write " + FPath.toStdString() + ": " + SystemError().toStdString());
    // A file replaced keeps who may read it.
    if (exists)
        ::fchmod(FDescriptor, existing.st_mode & 07777);
}

ReadingsFile::~ReadingsFile()
{
    if (FDescriptor >= 0)
        ::close(FDescriptor);
    if (!FKept && !FTemporary.isEmpty())
        ::unlink(QFile::encodeName(FTemporary).constData());
}

std::optional<QString> ReadingsFile::Write(const QByteArray& line)
{
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n
            = ::write(FDescriptor, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return QStringLiteral("cannot write %1: %2").arg(FTemporary, SystemError());
        done += n;
    }
    return std::nullopt;
}

std::optional<QString> ReadingsFile::Finish()
{
    // On the disk before its name moves: after a power cut FILE is the old file or the new
    // one, never a name without its readings.
    if (::fsync(FDescriptor) != 0 && errno != EINVAL)
        return QStringLiteral("cannot write %1: %2").arg(FTemporary, SystemError());
    ::close(FDescriptor);
    FDescriptor = -1;
    if (::rename(QFile::encodeName(FTemporary).constData(), QFile::encodeName(FPath).constData()) != 0)
        return QStringLiteral("cannot rename %1 to %2: %3").arg(FTemporary, FPath, SystemError());
    FTemporary.clear();
    return std::nullopt;
}

// ---- Output

Output::Output(bool json, QStringList columns, ReadingsFile* file)
    : FJson(json)
    , FColumns(std::move(columns))
    , FFile(file)
{ }

bool Output::Header()
{
    const QString header = FColumns.join(u',');
    return ToFile(header) && (FJson || Print(header));
}

bool Output::Row(const QStringList& texts)
{
    const QString csv = texts.join(u',');
    if (!ToFile(csv))
        return false;
    ++FRows;
    if (!FJson)
        return Print(csv);
    QJsonObject object;
    for (qsizetype i = 0; i < FColumns.size() && i < texts.size(); ++i) {
        bool number = false;
        const double value = texts[i].toDouble(&number);
        object.insert(FColumns[i], number ? QJsonValue(value) : QJsonValue(texts[i]));
    }
    return Print(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

bool Output::Summary(const QJsonObject& summary)
{
    return Note(QStringLiteral("summary"), summary);
}

bool Output::Note(const QString& kind, const QJsonObject& note)
{
    if (FJson)
        return Print(
            QString::fromUtf8(QJsonDocument(QJsonObject { { kind, note } }).toJson(QJsonDocument::Compact)));
    QStringList pairs;
    for (auto it = note.begin(); it != note.end(); ++it) {
        // A text with a comma would read as two pairs.
        QString value = it.value().toVariant().toString();
        if (it.value().isString() && (value.contains(u',') || value.contains(u'"')))
            value = u'"' + value.replace(u'"', QStringLiteral("\"\"")) + u'"';
        pairs.append(it.key() + u'=' + value);
    }
    return Print(QStringLiteral("# ") + kind + QStringLiteral(": ") + pairs.join(u','));
}

bool Output::Print(const QString& line)
{
    if (FBroken)
        return false;
    if (const std::optional<QString> failure = PrintLine(line.toUtf8()))
        return Broken(*failure);
    return true;
}

bool Output::ToFile(const QString& line)
{
    if (FBroken)
        return false;
    if (!FFile)
        return true;
    if (const std::optional<QString> failure = FFile->Write(line.toUtf8() + '\n')) {
        FFileBroken = true;
        return Broken(*failure);
    }
    return true;
}

bool Output::Broken(const QString& message)
{
    FBroken = true;
    Complain(message);
    return false;
}
