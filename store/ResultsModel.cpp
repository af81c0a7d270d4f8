#include "store/ResultsModel.h"

#include <QDir>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace {

constexpr qint64 kNoId = std::numeric_limits<qint64>::min();
constexpr qint64 kTextId = kNoId + 1;
// Written once this much is waiting; read back in stretches of this much.
constexpr size_t kSpillBytes = 256 * 1024;
constexpr size_t kBlockBytes = 64 * 1024;

// A cell is its length (7 bits a byte, high bit: more follows), then its UTF-8.
void PutCell(std::string& out, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    size_t n = static_cast<size_t>(utf8.size());
    do {
        const auto low = static_cast<char>(n & 0x7f);
        n >>= 7;
        out += static_cast<char>(low | (n ? 0x80 : 0));
    } while (n);
    out.append(utf8.constData(), static_cast<size_t>(utf8.size()));
}

QStringList TakeCells(const char* at, const char* end)
{
    QStringList cells;
    while (at < end) {
        size_t n = 0;
        for (int shift = 0; at < end; shift += 7) {
            const auto byte = static_cast<unsigned char>(*at++);
            n |= static_cast<size_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                break;
        }
        n = std::min(n, static_cast<size_t>(end - at));
        cells.append(QString::fromUtf8(at, static_cast<qsizetype>(n)));
        at += n;
    }
    return cells;
}

// An unlinked file in the temporary folder: it goes with the process, however that ends.
int MakeSpillFile()
{
    // A TMPDIR that does not exist reads as an empty folder, which would mean "/".
    const QString folder = QDir::tempPath();
    if (folder.isEmpty())
        return -1;
    QByteArray path = folder.toLocal8Bit() + "/dcload-grid-XXXXXX";
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0)
        unlink(path.constData());
    return fd;
}

// pread/pwrite until the whole stretch is done; false on an error or the end of the file.
template <typename Data, typename Call>
bool Whole(Call call, int fd, Data data, size_t size, uint64_t offset)
{
    while (size > 0) {
        const ssize_t n = call(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const char* data, size_t size, uint64_t offset)
{
    return Whole(pwrite, fd, data, size, offset);
}

bool ReadAll(int fd, char* data, size_t size, uint64_t offset)
{
    return Whole(pread, fd, data, size, offset);
}

} // namespace

ResultsModel::ResultsModel(const QStringList& columnNames, QObject* parent)
    : QAbstractTableModel(parent)
    , FColumnNames(columnNames)
    , FTitles(columnNames)
    , FNextSpill(kSpillBytes)
{ }

ResultsModel::~ResultsModel()
{
    if (FFile >= 0)
        close(FFile);
}

int ResultsModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return static_cast<int>(FIds.size());
}

int ResultsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(FColumnNames.size());
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    const size_t row = static_cast<size_t>(index.row());
    if (index.column() == 0) {
        const qint64 id = FIds[row];
        if (id == kNoId)
            return QString();
        if (id == kTextId)
            return QString::fromStdString(FTextIds.at(row));
        return QString::number(id);
    }
    const QStringList cells = Cells(row);
    const qsizetype cell = index.column() - 1;
    return cell < cells.size() ? cells[cell] : QString();
}

QStringList ResultsModel::Cells(size_t row) const
{
    const uint64_t begin = FRowStart[row];
    const uint64_t end = row + 1 < FRowStart.size() ? FRowStart[row + 1] : FSpilled + FTail.size();
    if (begin >= FSpilled) {
        const char* at = FTail.data() + (begin - FSpilled);
        return TakeCells(at, at + (end - begin));
    }
    // Spilling writes the whole tail, so a row is wholly in the file or wholly in memory.
    if (begin < FBlockStart || end > FBlockStart + FBlock.size()) {
        const uint64_t length = std::max<uint64_t>(kBlockBytes, end - begin);
        FBlockStart = begin;
        FBlock.resize(static_cast<size_t>(std::min<uint64_t>(length, FSpilled - begin)));
        if (!ReadAll(FFile, FBlock.data(), FBlock.size(), begin)) {
            FBlock.clear();
            return { QStringLiteral("(unreadable)") };
        }
    }
    const char* at = FBlock.data() + (begin - FBlockStart);
    return TakeCells(at, at + (end - begin));
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::EditRole) && section >= 0
        && section < FTitles.size())
        return FTitles[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

bool ResultsModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role)
{
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::EditRole) || section < 0
        || section >= FTitles.size())
        return false;
    const QString title = value.toString();
    if (FTitles[section] != title) {
        FTitles[section] = title;
        emit headerDataChanged(orientation, section, section);
    }
    return true;
}

Qt::ItemFlags ResultsModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void ResultsModel::AppendRow(const QString& id, const QStringList& values)
{
    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    Store(id, values);
    endInsertRows();
}

void ResultsModel::AppendRows(const std::vector<std::pair<qint64, QStringList>>& rows)
{
    if (rows.empty())
        return;
    const int first = rowCount();
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
    for (const auto& [id, values] : rows)
        Store(QString::number(id), values);
    endInsertRows();
}

void ResultsModel::Store(const QString& id, const QStringList& values)
{
    Q_ASSERT(values.size() + 1 == FColumnNames.size());
    FIds.push_back(kNoId);
    PutId(FIds.size() - 1, id);
    FRowStart.push_back(FSpilled + FTail.size());
    for (const QString& text : values)
        PutCell(FTail, text);
    if (FTail.size() >= FNextSpill)
        Spill();
}

void ResultsModel::Spill()
{
    if (FFile < 0)
        FFile = MakeSpillFile();
    if (FFile >= 0 && WriteAll(FFile, FTail.data(), FTail.size(), FSpilled)) {
        FSpilled += FTail.size();
        FTail.clear();
        FNextSpill = kSpillBytes;
        return;
    }
    // No room outside: the rows stay here, and the file is tried again once as much more
    // is waiting, so a disk that was full and is freed takes them then.
    FNextSpill = FTail.size() * 2;
}

void ResultsModel::SetId(int row, const QString& id)
{
    if (row < 0 || row >= rowCount())
        return;
    PutId(static_cast<size_t>(row), id);
    emit dataChanged(index(row, 0), index(row, 0));
}

void ResultsModel::PutId(size_t at, const QString& id)
{
    FTextIds.erase(at);
    bool number = false;
    const qint64 value = id.toLongLong(&number);
    if (id.isEmpty()) {
        FIds[at] = kNoId;
    } else if (number && value > kTextId && QString::number(value) == id) {
        FIds[at] = value;
    } else {
        FTextIds[at] = id.toStdString();
        FIds[at] = kTextId;
    }
}

void ResultsModel::Clear()
{
    if (FIds.empty())
        return;
    beginResetModel();
    FIds = {};
    FTextIds = {};
    FRowStart = {};
    FTail = {};
    FBlock = {};
    FBlockStart = 0;
    FSpilled = 0;
    FNextSpill = kSpillBytes;
    if (FFile >= 0 && ftruncate(FFile, 0) != 0) {
        close(FFile);
        FFile = -1;
    }
    endResetModel();
}
