// The outgoing queue's rows, their operations and the queue file format.
#include "transfer/Queue.h"

#include "core/Clock.h"
#include "core/TextUtil.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"

#include <algorithm>
#include <cmath>

namespace {

// A NextTry that holds no number is taken as due now, so a damaged row is not stuck forever.
bool ReadNextTry(const QByteArray &text, double &serial)
{
    return ParseDateSerial(text, serial) && std::isfinite(serial);
}

bool IsDue(const QueueItem &item, double nowSerial)
{
    double next = 0;
    return !ReadNextTry(item.nextTry(), next) || next <= nowSerial;
}

void SetStatus(QueueItem &item, const QByteArray &letter, const QByteArray &text, int image)
{
    item.field(QueueItem::Status) = letter;
    item.field(QueueItem::StatusText) = text;
    item.image = image;
}

// After a restart nothing is busy or waiting; a letter the program does not know is queued
// with the retry image so the user can tell it apart.
void NormaliseLoadedStatus(QueueItem &item, const QByteArray &letter)
{
    if (letter == "Q" || letter == "B" || letter == "W") {
        item.field(QueueItem::Status) = "Q";
        item.image = QueueItem::ImageQueued;
    } else if (letter == "E") {
        item.field(QueueItem::Status) = "E";
        item.image = QueueItem::ImageError;
    } else if (letter == "H") {
        item.field(QueueItem::Status) = "H";
        item.image = QueueItem::ImageHold;
    } else if (letter == "S") {
        item.field(QueueItem::Status) = "S";
        item.image = QueueItem::ImageSent;
    } else {
        item.field(QueueItem::Status) = "Q";
        item.image = QueueItem::ImageRetryWait;
    }
}

QByteArray LoadedField(int n, const QByteArray &stored, double loadSerial)
{
    const QByteArray value = TrimBlanks(stored);
    switch (n) {
    case QueueItem::StatusText: {
        const QByteArray head = value.left(4);
        return head == "Busy" || head == "Retr" ? QByteArray("Queued") : value;
    }
    case QueueItem::NextTry: {
        double next = 0;
        if (!ReadNextTry(value, next) || next > loadSerial)
            next = loadSerial;
        return FormatDateSerial(next);
    }
    case QueueItem::Channel:
        return {};
    default:
        return value;
    }
}

}  // namespace

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
    if (IsBlank(content))
        return items;
    // Text after the last record end is an unfinished record and is dropped; so is text after
    // a record's last closed field, and fields beyond the nineteenth.
    for (const QByteArray &record : TerminatedPieces(content, RecordSep)) {
        const QList<QByteArray> fields = TerminatedPieces(record, FieldSep);
        for (int n = 1; n <= std::min<int>(QueueItem::FieldCount, static_cast<int>(fields.size())); ++n) {
            const QByteArray &stored = fields[n - 1];
            // A record without one closed field makes no row.
            if (n == QueueItem::Status) {
                items.emplace_back();
                NormaliseLoadedStatus(items.back(), TrimBlanks(stored));
                continue;
            }
            items.back().field(n) = LoadedField(n, stored, loadSerial);
        }
    }
    return items;
}

QueueModel::QueueModel(QObject *parent) : QAbstractTableModel(parent) {}

int QueueModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

int QueueModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant QueueModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const QueueItem &row = item(index.row());
    const int column = index.column();
    const bool isField = column >= 1 && column <= QueueItem::FieldCount;
    switch (role) {
    case Qt::DisplayRole:
        return isField ? QString::fromLocal8Bit(row.field(column)) : QString();
    case ImageRole:
        return column == 0 ? QVariant(row.image) : QVariant();
    case FieldRole:
        return isField ? QVariant(row.field(column)) : QVariant();
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

void QueueModel::setItems(std::vector<QueueItem> items)
{
    beginResetModel();
    items_ = std::move(items);
    endResetModel();
}

void QueueModel::setItem(int row, const QueueItem &item)
{
    if (row < 0 || row >= rowCount())
        return;
    items_[static_cast<size_t>(row)] = item;
    RowChanged(row);
}

QueueItem QueueModel::MakeNewItem(const QByteArray &user, const QByteArray &fileName,
                                  const QByteArray &filePath, const QByteArray &message, double nowSerial)
{
    QueueItem item;
    SetStatus(item, "Q", "Queued", QueueItem::ImageQueued);
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

QByteArray QueuePathProblem(const QByteArray &path)
{
    if (path.contains(FieldSep) || path.contains(RecordSep))
        return path + ": the path holds a character with code 1 or 2, which the queue file cannot store";
    return {};
}

QByteArray QueueMessageProblem(const QByteArray &message)
{
    const qsizetype size = RemoveAll(RemoveAll(message, FieldSep), RecordSep).size();
    if (size <= Protocol::MaxMessageSize)
        return {};
    return "the message is too long: " + QByteArray::number(size) + " bytes, and at most " +
           QByteArray::number(Protocol::MaxMessageSize) + " travel with a file";
}

void QueueModel::AddItem(const QueueItem &item)
{
    const int row = rowCount();
    beginInsertRows({}, row, row);
    items_.push_back(item);
    endInsertRows();
}

QList<int> QueueModel::EditableRowsDescending(const QList<int> &rows) const
{
    QList<int> result;
    for (int row : rows)
        if (row >= 0 && row < rowCount() && item(row).status() != "B")
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
    for (int row : EditableRowsDescending(rows)) {
        QueueItem &it = items_[static_cast<size_t>(row)];
        SetStatus(it, "Q", "Queued", QueueItem::ImageQueued);
        it.field(QueueItem::NextTry) = FormatDateSerial(nowSerial);
        RowChanged(row);
    }
}

void QueueModel::HoldSelectedItems(const QList<int> &rows)
{
    for (int row : EditableRowsDescending(rows)) {
        SetStatus(items_[static_cast<size_t>(row)], "H", "Hold", QueueItem::ImageHold);
        RowChanged(row);
    }
}

void QueueModel::DeleteSelectedItems(const QList<int> &rows)
{
    // Descending, so the indexes still to come stay valid.
    for (int row : EditableRowsDescending(rows)) {
        beginRemoveRows({}, row, row);
        items_.erase(items_.begin() + row);
        endRemoveRows();
    }
}

void QueueModel::SetSelectedPriority(const QList<int> &rows, int p)
{
    if (p < 1 || p > 3)
        return;
    for (int row : EditableRowsDescending(rows)) {
        items_[static_cast<size_t>(row)].field(QueueItem::Priority) = QByteArray::number(p);
        RowChanged(row);
    }
}

void QueueModel::ClearChannelMark(int channel)
{
    const QByteArray mark = QByteArray::number(channel);
    for (int row = 0; row < rowCount(); ++row) {
        QueueItem &it = items_[static_cast<size_t>(row)];
        if (TrimBlanks(it.channel()) == mark) {
            it.field(QueueItem::Channel).clear();
            RowChanged(row);
        }
    }
}

int QueueModel::PickNextItem(double nowSerial) const
{
    for (const char *pass : {"1", "2", "3"}) {
        for (int row = 0; row < rowCount(); ++row) {
            const QueueItem &it = item(row);
            if (it.priority() == pass && (it.status() == "W" || it.status() == "Q") && IsDue(it, nowSerial))
                return row;
        }
    }
    return -1;
}

void QueueModel::MarkBusy(int row, int channel)
{
    if (row < 0 || row >= rowCount())
        return;
    QueueItem &it = items_[static_cast<size_t>(row)];
    SetStatus(it, "B", "Busy", QueueItem::ImageBusy);
    it.field(QueueItem::Channel) = QByteArray::number(channel);
    RowChanged(row);
}

void QueueModel::SetOutcomeStatus(int channel, char outcomeClass, const QByteArray &code, double nowSerial)
{
    const QByteArray shortText = ShortStatusText(code);
    const QByteArray retryAt = FormatDateSerial(nowSerial + RetryDelayDays);
    const QByteArray mark = QByteArray::number(channel);
    for (int row = 0; row < rowCount(); ++row) {
        QueueItem &it = items_[static_cast<size_t>(row)];
        if (TrimBlanks(it.channel()) != mark)
            continue;
        it.field(QueueItem::Channel).clear();
        const QByteArray triesAfter = ToDecimal(LeadingInteger(it.tries()) + 1);
        switch (outcomeClass) {
        case 'A':
            SetStatus(it, "S", "Sent", QueueItem::ImageSent);
            it.field(QueueItem::Tries) = triesAfter;
            break;
        case 'B':
            SetStatus(it, "W", "Retry Wait " + shortText, QueueItem::ImageRetryWait);
            it.field(QueueItem::Tries) = triesAfter;
            it.field(QueueItem::NextTry) = retryAt;
            break;
        case 'C':
            SetStatus(it, "E", "Error: " + shortText, QueueItem::ImageError);
            it.field(QueueItem::Tries) = triesAfter;
            break;
        default:
            break;
        }
        RowChanged(row);
    }
}
