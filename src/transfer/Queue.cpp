// The outgoing queue's rows, their operations and the queue file format.
#include "transfer/Queue.h"

#include "core/Clock.h"
#include "core/TextUtil.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"

#include <QIODevice>

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace {

// A NextTry that holds no number is taken as due now, so a damaged row is not stuck forever.
bool ReadNextTry(QByteArrayView text, double &serial)
{
    // The written form is the common case and is read here without copies; every other text
    // goes through the general reader.
    if (text.size() >= 2 && text.size() <= 24 && (text[0] == '.' || (text[0] >= '1' && text[0] <= '9'))) {
        bool plain = true;
        int points = 0;
        for (char c : text) {
            points += c == '.';
            plain = plain && ((c >= '0' && c <= '9') || c == '.');
        }
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), serial);
        // The general reader goes through the C library, which follows the locale's decimal
        // point; where that is not "." the general reader decides.
        if (plain && points <= 1 && error == std::errc() && end == text.data() + text.size() &&
            std::isfinite(serial) && std::strcmp(std::localeconv()->decimal_point, ".") == 0)
            return true;
    }
    return ParseDateSerial(text.toByteArray(), serial) && std::isfinite(serial);
}

// Each status with its letter, its row image and the text a row in it shows; "Retry Wait " and
// "Error: " are followed by the outcome's short text.
struct StatusRow {
    RowStatus status;
    const char *letter;
    int image;
    const char *text;
};

constexpr StatusRow StatusTable[] = {
    {RowStatus::Queued, "Q", QueueItem::ImageQueued, "Queued"},
    {RowStatus::Waiting, "W", QueueItem::ImageRetryWait, "Retry Wait "},
    {RowStatus::Busy, "B", QueueItem::ImageBusy, "Busy"},
    {RowStatus::Held, "H", QueueItem::ImageHold, "Hold"},
    {RowStatus::Sent, "S", QueueItem::ImageSent, "Sent"},
    {RowStatus::Error, "E", QueueItem::ImageError, "Error: "},
};

const StatusRow &StatusRowOf(RowStatus status)
{
    return StatusTable[static_cast<size_t>(status)];
}

void SetStatus(QueueItem &item, RowStatus status, const QByteArray &shortText = {})
{
    const StatusRow &row = StatusRowOf(status);
    item.field(QueueItem::Status) = row.letter;
    item.field(QueueItem::StatusText) = row.text + shortText;
    item.image = row.image;
}

// After a restart nothing is busy or waiting; a letter the program does not know is queued
// with the retry image so the user can tell it apart.
struct LoadedStatus {
    RowStatus status;
    int image;
};

LoadedStatus NormaliseLoadedStatus(QByteArrayView letter)
{
    const std::optional<RowStatus> read = ReadRowStatus(letter);
    if (!read)
        return {RowStatus::Queued, QueueItem::ImageRetryWait};
    switch (*read) {
    case RowStatus::Busy:
    case RowStatus::Waiting:
        return {RowStatus::Queued, QueueItem::ImageQueued};
    default:
        return {*read, StatusRowOf(*read).image};
    }
}

// A NextTry as the loader writes it back, "12345.67890123" or ".12345678", with no more than 15
// digits: such a text reads as a number that is written back as the same text, so it need not be
// written anew. (The number is checked against the locale-free reading, because the general
// reader goes through the C library.)
bool IsWrittenForm(QByteArrayView text, double value)
{
    const qsizetype point = text.indexOf('.');
    if (point < 0 || point > 7 || text.size() - point != 9 || (point > 0 && text[0] == '0'))
        return false;
    for (qsizetype i = 0; i < text.size(); ++i)
        if (i != point && (text[i] < '0' || text[i] > '9'))
            return false;
    double exact = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), exact);
    return error == std::errc() && end == text.data() + text.size() && exact == value;
}

using FieldViews = std::array<QByteArrayView, QueueItem::FieldCount>;

// Reads the whole records of a queue file (the text ends at a record end, or what follows the
// last one is dropped) as the loader sees them and hands each row's fields, valid during the
// call, and image to onRow.
template <class OnRow>
void ScanQueueRecords(QByteArrayView text, double loadSerial, const QByteArray &loadText, OnRow &&onRow)
{
    QByteArray nextTryText;
    qsizetype from = 0;
    for (qsizetype end; (end = text.indexOf(RecordSep, from)) >= 0; from = end + 1) {
        const QByteArrayView record = text.sliced(from, end - from);
        // A record without one closed field makes no row; text after a record's last closed
        // field is dropped, and so are fields beyond the nineteenth.
        FieldViews fields{};
        int count = 0;
        for (qsizetype f = 0, close; count < QueueItem::FieldCount && (close = record.indexOf(FieldSep, f)) >= 0;
             f = close + 1)
            fields[static_cast<size_t>(count++)] = TrimBlanks(record.sliced(f, close - f));
        if (count == 0)
            continue;
        const LoadedStatus status = NormaliseLoadedStatus(fields[0]);
        fields[0] = RowStatusLetter(status.status);
        if (count >= QueueItem::StatusText) {
            QByteArrayView &text12 = fields[QueueItem::StatusText - 1];
            const QByteArrayView head = text12.first(std::min<qsizetype>(4, text12.size()));
            if (head == "Busy" || head == "Retr")
                text12 = "Queued";
        }
        // A loaded NextTry is always a number; it is handed on as read from the text kept, so
        // the row's index entry need not read it again.
        std::optional<double> nextTry;
        if (count >= QueueItem::NextTry) {
            QByteArrayView &stored = fields[QueueItem::NextTry - 1];
            double next = 0;
            if (!ReadNextTry(stored, next) || next > loadSerial) {
                stored = loadText;
                ReadNextTry(stored, next);
            } else if (!IsWrittenForm(stored, next)) {
                nextTryText = FormatDateSerial(next);
                stored = nextTryText;
                // Read back as any later reading would see it.
                ReadNextTry(stored, next);
            }
            nextTry = next;
        }
        if (count >= QueueItem::Channel)
            fields[QueueItem::Channel - 1] = {};
        onRow(fields, status.image, nextTry);
    }
}

}  // namespace

const char *RowStatusLetter(RowStatus status)
{
    return StatusRowOf(status).letter;
}

std::optional<RowStatus> ReadRowStatus(QByteArrayView letter)
{
    for (const StatusRow &row : StatusTable)
        if (letter == row.letter)
            return row.status;
    return std::nullopt;
}

QByteArray EncodeQueueFile(const std::vector<QueueItem> &items)
{
    QByteArray content;
    for (const QueueItem &item : items) {
        for (const QByteArray &field : item.fields) {
            content += field;
            content += FieldSep;
        }
        content += RecordSep;
    }
    return content;
}

std::vector<QueueItem> DecodeQueueFile(const QByteArray &content, double loadSerial)
{
    std::vector<QueueItem> items;
    ScanQueueRecords(content, loadSerial, FormatDateSerial(loadSerial), [&](const FieldViews &fields, int image,
                                                                           std::optional<double>) {
        QueueItem &item = items.emplace_back();
        for (size_t i = 0; i < fields.size(); ++i)
            item.fields[i] = fields[i].toByteArray();
        item.image = image;
    });
    return items;
}

// ---- the rows' storage ----
//
// A row in pool_ is its 19 fields in order, each as its length (7 bits a byte, lowest first,
// the top bit set on every byte but the last) followed by its bytes.

namespace {

constexpr qsizetype LoadBlock = 1 << 20;
constexpr qsizetype WriteBlock = 256 << 10;

int LengthBytes(qsizetype length)
{
    int n = 1;
    for (; length >= 0x80; length >>= 7)
        ++n;
    return n;
}

char *PutLength(char *out, qsizetype length)
{
    for (; length >= 0x80; length >>= 7)
        *out++ = static_cast<char>((length & 0x7f) | 0x80);
    *out++ = static_cast<char>(length);
    return out;
}

const char *GetLength(const char *in, qsizetype &length)
{
    length = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(*in++);
        length |= static_cast<qsizetype>(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            return in;
    }
}

FieldViews ViewsOf(const QueueItem &item)
{
    FieldViews views;
    for (size_t i = 0; i < views.size(); ++i)
        views[i] = item.fields[i];
    return views;
}

void InsertSorted(std::vector<int> &list, int row)
{
    list.insert(std::lower_bound(list.begin(), list.end(), row), row);
}

void EraseSorted(std::vector<int> &list, int row)
{
    const auto it = std::lower_bound(list.begin(), list.end(), row);
    if (it != list.end() && *it == row)
        list.erase(it);
}

}  // namespace

QueueModel::QueueModel(QObject *parent)
    : QAbstractTableModel(parent), dueUntil_(-std::numeric_limits<double>::infinity())
{
}

int QueueModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int QueueModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant QueueModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const int column = index.column();
    const bool isField = column >= 1 && column <= QueueItem::FieldCount;
    switch (role) {
    case Qt::DisplayRole:
        return isField ? QString::fromLocal8Bit(FieldView(index.row(), column)) : QString();
    case ImageRole:
        return column == 0 ? QVariant(rows_[static_cast<size_t>(index.row())].image) : QVariant();
    case FieldRole:
        return isField ? QVariant(field(index.row(), column)) : QVariant();
    default:
        return {};
    }
}

QVariant QueueModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return QString();
    return QAbstractTableModel::headerData(section, orientation, role);
}

QByteArrayView QueueModel::FieldView(int row, int n) const
{
    const char *p = pool_.constData() + rows_[static_cast<size_t>(row)].at;
    for (int i = 1;; ++i) {
        qsizetype length = 0;
        p = GetLength(p, length);
        if (i == n)
            return {p, length};
        p += length;
    }
}

QueueItem QueueModel::item(int row) const
{
    QueueItem it;
    const char *p = pool_.constData() + rows_[static_cast<size_t>(row)].at;
    for (QByteArray &f : it.fields) {
        qsizetype length = 0;
        p = GetLength(p, length);
        if (length > 0)
            f = QByteArray(p, length);
        p += length;
    }
    it.image = rows_[static_cast<size_t>(row)].image;
    return it;
}

QByteArray QueueModel::field(int row, int n) const
{
    return FieldView(row, n).toByteArray();
}

std::vector<QueueItem> QueueModel::items() const
{
    std::vector<QueueItem> all;
    all.reserve(rows_.size());
    for (int row = 0; row < rowCount(); ++row)
        all.push_back(item(row));
    return all;
}

void QueueModel::StoreRow(int row, const FieldViews &fields, int image, std::optional<double> nextTry)
{
    qsizetype need = 0;
    for (const QByteArrayView &f : fields)
        need += LengthBytes(f.size()) + f.size();
    if (garbage_ > 64 * 1024 && garbage_ > poolUsed_ / 2)
        CompactPool();
    const qsizetype at = poolUsed_;
    // The block grows by steps; the part not yet written costs no memory until it is.
    if (at + need > pool_.size())
        pool_.resize(std::max(at + need, pool_.size() + pool_.size() / 4 + 64 * 1024));
    poolUsed_ += need;
    char *out = pool_.data() + at;
    for (const QByteArrayView &f : fields) {
        out = PutLength(out, f.size());
        if (!f.isEmpty())
            std::memcpy(out, f.data(), static_cast<size_t>(f.size()));
        out += f.size();
    }
    if (row == static_cast<int>(rows_.size()))
        rows_.emplace_back().id = ++lastId_;
    Row &r = rows_[static_cast<size_t>(row)];
    r.at = at;
    r.size = static_cast<int>(need);
    r.image = image;
    const std::optional<RowStatus> status = ReadRowStatus(fields[QueueItem::Status - 1]);
    const QByteArrayView priority = fields[QueueItem::Priority - 1];
    r.candidate = status == RowStatus::Queued || status == RowStatus::Waiting;
    r.busy = status == RowStatus::Busy;
    r.priority = priority == "1" ? 1 : priority == "2" ? 2 : priority == "3" ? 3 : 0;
    r.marked = !fields[QueueItem::Channel - 1].isEmpty();
    double next = 0;
    if (!r.candidate || !r.priority)
        r.nextTry = 0;
    else if (nextTry)
        r.nextTry = *nextTry;
    else
        r.nextTry = ReadNextTry(fields[QueueItem::NextTry - 1], next) ? next : std::numeric_limits<double>::quiet_NaN();
}

void QueueModel::StoreItem(int row, const QueueItem &item)
{
    StoreRow(row, ViewsOf(item), item.image);
}

void QueueModel::ReplaceRow(int row, const QueueItem &item)
{
    UnindexRow(row);
    Row &r = rows_[static_cast<size_t>(row)];
    garbage_ += r.size;
    r.size = 0;  // its old bytes are left to the next compaction
    StoreItem(row, item);
    IndexRow(row);
}

// Moves the rows' bytes down over the unused ones, in place, so no second block is needed.
void QueueModel::CompactPool()
{
    std::vector<int> order(rows_.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<int>(i);
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return rows_[static_cast<size_t>(a)].at < rows_[static_cast<size_t>(b)].at; });
    char *base = pool_.data();
    qsizetype to = 0;
    for (int row : order) {
        Row &r = rows_[static_cast<size_t>(row)];
        if (r.size == 0)
            continue;
        std::memmove(base + to, base + r.at, static_cast<size_t>(r.size));
        r.at = to;
        to += r.size;
    }
    poolUsed_ = to;
    garbage_ = 0;
}

void QueueModel::ClearRows()
{
    rows_.clear();
    rows_.shrink_to_fit();
    pool_.clear();
    poolUsed_ = 0;
    garbage_ = 0;
}

void QueueModel::setItems(const std::vector<QueueItem> &items)
{
    beginResetModel();
    ClearRows();
    rows_.reserve(items.size());
    for (const QueueItem &it : items)
        StoreItem(static_cast<int>(rows_.size()), it);
    RebuildIndex();
    endResetModel();
}

void QueueModel::setItem(int row, const QueueItem &item)
{
    if (row < 0 || row >= rowCount())
        return;
    ReplaceRow(row, item);
    RowChanged(row);
}

bool QueueModel::LoadQueueFile(QIODevice &device, double loadSerial)
{
    beginResetModel();
    ClearRows();
    const QByteArray loadText = FormatDateSerial(loadSerial);
    // A first pass counts the rows, so the row list is made once at its size.
    if (!device.isSequential() && device.size() > 0) {
        qsizetype records = 0;
        QByteArray block(LoadBlock, Qt::Uninitialized);
        for (qint64 got; (got = device.read(block.data(), LoadBlock)) > 0;)
            records += QByteArrayView(block.constData(), got).count(RecordSep);
        device.seek(0);
        rows_.reserve(static_cast<size_t>(records));
        pool_.resize(device.size());
    }
    bool ok = true;
    QByteArray carry;
    for (;;) {
        const qsizetype had = carry.size();
        carry.resize(had + LoadBlock);
        const qint64 got = device.read(carry.data() + had, LoadBlock);
        carry.truncate(had + std::max<qint64>(got, 0));
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        const qsizetype last = carry.lastIndexOf(RecordSep);
        if (last < 0)
            continue;
        ScanQueueRecords(QByteArrayView(carry).first(last + 1), loadSerial, loadText,
                         [&](const FieldViews &fields, int image, std::optional<double> nextTry) {
                             StoreRow(rowCount(), fields, image, nextTry);
                         });
        carry.remove(0, last + 1);
    }
    RebuildIndex();
    endResetModel();
    return ok;
}

bool QueueModel::WriteQueueFile(QIODevice &device) const
{
    // A row's record is its fields each closed by code 1, then code 2: never longer than its
    // stored form plus 20 bytes.
    QByteArray block(WriteBlock, Qt::Uninitialized);
    qsizetype used = 0;
    for (const Row &r : rows_) {
        const qsizetype most = r.size + QueueItem::FieldCount + 1;
        if (used + most > block.size()) {
            if (used > 0 && device.write(block.constData(), used) != used)
                return false;
            used = 0;
            if (most > block.size())
                block.resize(most);
        }
        const char *p = pool_.constData() + r.at;
        char *out = block.data() + used;
        for (int n = 0; n < QueueItem::FieldCount; ++n) {
            qsizetype length = 0;
            p = GetLength(p, length);
            std::memcpy(out, p, static_cast<size_t>(length));
            out += length;
            *out++ = FieldSep;
            p += length;
        }
        *out++ = RecordSep;
        used = out - block.constData();
    }
    return used == 0 || device.write(block.constData(), used) == used;
}

// ---- the indexes ----

bool QueueModel::IsDueIndexed(const Row &r) const
{
    return std::isnan(r.nextTry) || r.nextTry <= dueUntil_;
}

void QueueModel::IndexRow(int row)
{
    const Row &r = rows_[static_cast<size_t>(row)];
    if (r.busy)
        InsertSorted(busy_, row);
    if (r.marked)
        InsertSorted(marked_, row);
    if (!r.candidate || !r.priority)
        return;
    const size_t p = static_cast<size_t>(r.priority - 1);
    if (IsDueIndexed(r)) {
        InsertSorted(due_[p], row);
    } else {
        auto &later = later_[p];
        const std::pair<double, int> key{r.nextTry, row};
        later.insert(std::lower_bound(later.begin(), later.end(), key), key);
    }
}

void QueueModel::UnindexRow(int row)
{
    const Row &r = rows_[static_cast<size_t>(row)];
    if (r.busy)
        EraseSorted(busy_, row);
    if (r.marked)
        EraseSorted(marked_, row);
    if (!r.candidate || !r.priority)
        return;
    const size_t p = static_cast<size_t>(r.priority - 1);
    if (IsDueIndexed(r)) {
        EraseSorted(due_[p], row);
    } else {
        auto &later = later_[p];
        const std::pair<double, int> key{r.nextTry, row};
        const auto it = std::lower_bound(later.begin(), later.end(), key);
        if (it != later.end() && *it == key)
            later.erase(it);
    }
}

void QueueModel::RebuildIndex()
{
    for (size_t p = 0; p < 3; ++p) {
        due_[p].clear();
        later_[p].clear();
    }
    busy_.clear();
    marked_.clear();
    for (int row = 0; row < rowCount(); ++row) {
        const Row &r = rows_[static_cast<size_t>(row)];
        if (r.busy)
            busy_.push_back(row);
        if (r.marked)
            marked_.push_back(row);
        if (!r.candidate || !r.priority)
            continue;
        const size_t p = static_cast<size_t>(r.priority - 1);
        if (IsDueIndexed(r))
            due_[p].push_back(row);
        else
            later_[p].emplace_back(r.nextTry, row);
    }
    for (auto &later : later_)
        std::sort(later.begin(), later.end());
}

void QueueModel::AdvanceTo(double nowSerial) const
{
    if (nowSerial < dueUntil_) {
        dueUntil_ = nowSerial;
        const_cast<QueueModel *>(this)->RebuildIndex();
        return;
    }
    dueUntil_ = nowSerial;
    std::vector<int> moved;
    for (size_t p = 0; p < 3; ++p) {
        auto &later = later_[p];
        const auto end = std::upper_bound(later.begin(), later.end(), nowSerial,
                                          [](double now, const std::pair<double, int> &e) { return now < e.first; });
        if (end == later.begin())
            continue;
        moved.clear();
        for (auto it = later.begin(); it != end; ++it)
            moved.push_back(it->second);
        later.erase(later.begin(), end);
        std::sort(moved.begin(), moved.end());
        auto &due = due_[p];
        const auto middle = due.size();
        due.insert(due.end(), moved.begin(), moved.end());
        std::inplace_merge(due.begin(), due.begin() + static_cast<std::ptrdiff_t>(middle), due.end());
    }
}

QueueItem QueueModel::MakeNewItem(const QByteArray &user, const QByteArray &fileName,
                                  const QByteArray &filePath, const QByteArray &message, double nowSerial)
{
    QueueItem item;
    SetStatus(item, RowStatus::Queued);
    item.field(QueueItem::UserName) = user;
    item.field(QueueItem::FileName) = fileName;
    item.field(QueueItem::FilePath) = filePath;
    item.field(QueueItem::Priority) = "3";
    item.field(QueueItem::RetryAllowance) = "5";
    item.field(QueueItem::Tries) = "0";
    item.field(QueueItem::NextTry) = FormatDateSerial(nowSerial);
    item.field(QueueItem::Message) = RemoveAll(RemoveAll(message, FieldSep), RecordSep);
    return item;
}

QByteArray QueueMessageProblem(const QByteArray &message)
{
    const qsizetype size = RemoveAll(RemoveAll(message, FieldSep), RecordSep).size();
    if (size <= Protocol::MaxMessageSize)
        return {};
    return "the message is too long: " + QByteArray::number(size) + " bytes, and at most " +
           QByteArray::number(Protocol::MaxMessageSize) + " travel with a file";
}

QList<int> QueueModel::RowsWithStatus(RowStatus status) const
{
    const QByteArrayView letter = RowStatusLetter(status);
    QList<int> rows;
    for (int row = 0; row < rowCount(); ++row)
        if (TrimBlanks(FieldView(row, QueueItem::Status)) == letter)
            rows << row;
    return rows;
}

void QueueModel::AddItem(const QueueItem &item)
{
    const int row = rowCount();
    beginInsertRows({}, row, row);
    StoreItem(row, item);
    IndexRow(row);
    endInsertRows();
}

QList<int> QueueModel::EditableRowsDescending(const QList<int> &rows) const
{
    QList<int> result;
    for (int row : rows)
        if (row >= 0 && row < rowCount() && !rows_[static_cast<size_t>(row)].busy)
            result.append(row);
    std::sort(result.begin(), result.end(), std::greater<int>());
    result.erase(std::unique(result.begin(), result.end()), result.end());
    return result;
}

void QueueModel::RowChanged(int row)
{
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void QueueModel::EnableSelectedItems(const QList<int> &rows, double nowSerial)
{
    const QByteArray now = FormatDateSerial(nowSerial);
    for (int row : EditableRowsDescending(rows)) {
        QueueItem it = item(row);
        SetStatus(it, RowStatus::Queued);
        it.field(QueueItem::NextTry) = now;
        ReplaceRow(row, it);
        RowChanged(row);
    }
}

void QueueModel::HoldSelectedItems(const QList<int> &rows)
{
    for (int row : EditableRowsDescending(rows)) {
        QueueItem it = item(row);
        SetStatus(it, RowStatus::Held);
        ReplaceRow(row, it);
        RowChanged(row);
    }
}

void QueueModel::DeleteSelectedItems(const QList<int> &rows)
{
    const QList<int> doomed = EditableRowsDescending(rows);
    if (doomed.isEmpty())
        return;
    // Descending, so the indexes still to come stay valid; the indexes are made anew once the
    // rows are gone, as every row below a deleted one moves up.
    for (int row : doomed) {
        beginRemoveRows({}, row, row);
        garbage_ += rows_[static_cast<size_t>(row)].size;
        rows_.erase(rows_.begin() + row);
        endRemoveRows();
    }
    RebuildIndex();
}

void QueueModel::SetSelectedPriority(const QList<int> &rows, int p)
{
    if (p < 1 || p > 3)
        return;
    for (int row : EditableRowsDescending(rows)) {
        QueueItem it = item(row);
        it.field(QueueItem::Priority) = QByteArray::number(p);
        ReplaceRow(row, it);
        RowChanged(row);
    }
}

void QueueModel::ClearChannelMark(int channel)
{
    const QByteArray mark = QByteArray::number(channel);
    const std::vector<int> marked = marked_;
    for (int row : marked) {
        if (TrimBlanks(FieldView(row, QueueItem::Channel)) != mark)
            continue;
        QueueItem it = item(row);
        it.field(QueueItem::Channel).clear();
        ReplaceRow(row, it);
        RowChanged(row);
    }
}

int QueueModel::PickNextItem(double nowSerial) const
{
    AdvanceTo(nowSerial + StoredSerialHalfUnit);
    for (const std::vector<int> &due : due_)
        if (!due.empty())
            return due.front();
    return -1;
}

std::vector<int> QueueModel::DueRowsOf(QByteArrayView user, double nowSerial, int limit) const
{
    AdvanceTo(nowSerial + StoredSerialHalfUnit);
    std::vector<int> rows;
    for (const std::vector<int> &due : due_)
        for (int row : due) {
            if (static_cast<int>(rows.size()) >= limit)
                return rows;
            if (FieldView(row, QueueItem::UserName) == user)
                rows.push_back(row);
        }
    return rows;
}

QueueRowId QueueModel::MarkBusy(int row, int channel)
{
    if (row < 0 || row >= rowCount())
        return 0;
    QueueItem it = item(row);
    SetStatus(it, RowStatus::Busy);
    it.field(QueueItem::Channel) = QByteArray::number(channel);
    ReplaceRow(row, it);
    RowChanged(row);
    return RowId(row);
}

QueueRowId QueueModel::RowId(int row) const
{
    return row >= 0 && row < rowCount() ? rows_[static_cast<size_t>(row)].id : 0;
}

int QueueModel::RowOf(QueueRowId id) const
{
    const auto it = std::lower_bound(rows_.begin(), rows_.end(), id,
                                     [](const Row &r, QueueRowId wanted) { return r.id < wanted; });
    return it != rows_.end() && it->id == id ? static_cast<int>(it - rows_.begin()) : -1;
}

void QueueModel::SetOutcomeStatus(QueueRowId id, OutcomeClass outcomeClass, const QByteArray &code,
                                  double nowSerial, const QByteArray &givenShortText)
{
    const int row = RowOf(id);
    if (row < 0)
        return;
    const QByteArray shortText = givenShortText.isEmpty() ? ShortStatusText(code) : givenShortText;
    QueueItem it = item(row);
    it.field(QueueItem::Channel).clear();
    it.field(QueueItem::Tries) = ToDecimal(LeadingInteger(it.tries()) + 1);
    switch (outcomeClass) {
    case OutcomeClass::Delivered:
        SetStatus(it, RowStatus::Sent);
        break;
    case OutcomeClass::RetryLater:
        SetStatus(it, RowStatus::Waiting, shortText);
        it.field(QueueItem::NextTry) = FormatDateSerial(nowSerial + RetryDelayDays);
        break;
    case OutcomeClass::Failed:
        SetStatus(it, RowStatus::Error, shortText);
        break;
    }
    ReplaceRow(row, it);
    RowChanged(row);
}
