#pragma once
// What dcload-cli writes: its complaints on standard error, readings on standard output as
// CSV or JSON lines, and the --csv file, which never replaces a good file with half of one.
#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

// "dcload-cli: message" on standard error, so that it stands out in a script's log.
void Complain(const QString& message);

// A line on standard output, flushed at once; what went wrong when it could not be written.
std::optional<QString> PrintLine(const QByteArray& text);

// The --csv file. Lines go to a temporary file beside it (FILE.partial-XXXXXX), each
// written through at once, so that a full disk shows at the reading it refuses; Finish()
// renames it onto FILE. Whatever has not been finished is removed with the object, unless
// Keep() said it holds readings that must not be lost.
class ReadingsFile
{
public:
    // Throws std::runtime_error ("cannot write FILE: reason") when the folder takes no file.
    explicit ReadingsFile(QString path);
    ~ReadingsFile();
    ReadingsFile(const ReadingsFile&) = delete;
    ReadingsFile& operator=(const ReadingsFile&) = delete;

    const QString& Path() const { return FPath; }
    const QString& TemporaryPath() const { return FTemporary; }
    // What went wrong, when the line could not be written.
    std::optional<QString> Write(const QByteArray& line);
    // Synced and renamed onto FILE (replacing one that exists, with its permissions).
    std::optional<QString> Finish();
    // Left as it is under its temporary name.
    void Keep() { FKept = true; }

private:
    QString FPath;
    QString FTemporary;
    int FDescriptor = -1;
    bool FKept = false;
};

// Writes readings as CSV lines (a header first) or JSON objects, to standard output and,
// when given, to the readings file as well. The file holds the header and the readings
// only, so a CSV reader takes every column of it as it is. The first write that fails is
// told on standard error; every call after it writes nothing and returns false.
class Output
{
public:
    Output(bool json, QStringList columns, ReadingsFile* file);

    bool Header();
    // Texts as the instrument sent them (CSV); numbers where they are numbers (JSON).
    bool Row(const QStringList& texts);
    // On standard output only: a comment line in the CSV stream, its own object in JSON.
    bool Summary(const QJsonObject& summary);
    // The same under another name ("# step: ..." or {"step": {...}}).
    bool Note(const QString& kind, const QJsonObject& note);

    int Rows() const { return FRows; }
    // The readings file could not be written.
    bool FileBroken() const { return FFileBroken; }

private:
    bool Print(const QString& line);
    bool ToFile(const QString& line);
    bool Broken(const QString& message);

    bool FJson;
    QStringList FColumns;
    ReadingsFile* FFile;
    int FRows = 0;
    bool FBroken = false;
    bool FFileBroken = false;
};
