// The outgoing queue: one row per file to deliver, in queue order, the operations the menus,
// the scheduler and the outcome handling perform on the rows, and the queue file's format.
#pragma once

#include "transfer/Outcomes.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <array>
#include <optional>
#include <vector>

class QIODevice;

// A row's status. Only the stored field, the list and the log see its letter.
enum class RowStatus {
    Queued,   // "Q": may be started when due
    Waiting,  // "W": waits to retry, may be started when due
    Busy,     // "B": being sent
    Held,     // "H": held by the user, never started
    Sent,     // "S"
    Error,    // "E": failed for good
};
// The letter stored in field 1.
const char *RowStatusLetter(RowStatus status);
// The status a letter names exactly; none for any other text.
std::optional<RowStatus> ReadRowStatus(QByteArrayView letter);

// Names one row for as long as it is in the queue, wherever rows above it are deleted; never
// stored, never given to another row, 0 names no row.
using QueueRowId = quint64;

struct QueueItem {
    // Field numbers, 1 to 19; the fields without a name are kept empty but stored.
    enum FieldNumber : int {
        Status = 1,
        UserName = 3,
        FileName = 5,
        FilePath = 6,
        Priority = 7,
        RetryAllowance = 9,
        Tries = 10,
        StatusText = 12,
        NextTry = 17,
        Message = 18,
        Channel = 19,
    };
    static constexpr int FieldCount = 19;

    // Numbers of the row images in the queue's image list.
    enum Image : int {
        ImageRetryWait = 1,  // also a row loaded with an unknown letter
        ImageSent = 2,
        ImageError = 3,
        ImageBusy = 5,
        ImageQueued = 6,
        ImageHold = 7,
    };

    std::array<QByteArray, FieldCount> fields;
    int image = 0;

    QByteArray &field(int n) { return fields[static_cast<size_t>(n - 1)]; }
    const QByteArray &field(int n) const { return fields[static_cast<size_t>(n - 1)]; }

    const QByteArray &status() const { return field(Status); }
    const QByteArray &userName() const { return field(UserName); }
    const QByteArray &fileName() const { return field(FileName); }
    const QByteArray &filePath() const { return field(FilePath); }
    const QByteArray &priority() const { return field(Priority); }
    const QByteArray &tries() const { return field(Tries); }
    const QByteArray &statusText() const { return field(StatusText); }
    const QByteArray &nextTry() const { return field(NextTry); }
    const QByteArray &message() const { return field(Message); }
    const QByteArray &channel() const { return field(Channel); }

    bool operator==(const QueueItem &) const = default;
};

// The queue file's content: per row each of the 19 fields closed by code 1, the row closed by
// code 2; an empty queue gives an empty content.
QByteArray EncodeQueueFile(const std::vector<QueueItem> &items);
// Reads a queue file as it is loaded at start-up: nothing stays busy or waiting, a retry time
// in the future (or one that is no number) becomes the load time, no row keeps a channel.
std::vector<QueueItem> DecodeQueueFile(const QByteArray &content, double loadSerial);

// What keeps a message out of the queue; empty when nothing does. The message is measured as
// it travels in the request (the row's message, codes 1 and 2 removed), against
// Protocol::MaxMessageSize.
QByteArray QueueMessageProblem(const QByteArray &message);

// The queue rows as the main window's list shows them: 21 columns, column 0 only the row's
// image, column n (1 to 19) field n, column 20 nothing. The operations on selected rows never
// touch a row in "B": a row being sent is not the user's to change. Saving the queue file after
// an edit is the caller's task.
//
// A queue may hold a hundred thousand rows, so the rows are kept compactly: every row's fields
// sit one after another, each behind its length, in one shared block of bytes, and a row is
// made into a QueueItem only when asked for. Beside the rows the model keeps what the scheduler,
// the outcome handling and the window look for: per priority the due "Q" and "W" rows in queue
// order and the ones not yet due by their retry time, the rows in "B" and the rows with a
// channel mark; none of them needs a walk over all rows.
class QueueModel : public QAbstractTableModel {
    Q_OBJECT

public:
    static constexpr int ColumnCount = 21;
    enum Role : int {
        ImageRole = Qt::UserRole + 1,  // the row image number, column 0
        FieldRole,                     // the field's bytes, columns 1 to 19
    };

    explicit QueueModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    QueueItem item(int row) const;
    // Field n (1 to 19) of the row without making the whole row.
    QByteArray field(int row, int n) const;
    // Every row; a copy, made row by row.
    std::vector<QueueItem> items() const;
    void setItems(const std::vector<QueueItem> &items);
    void setItem(int row, const QueueItem &item);

    // Replaces the rows with those of a queue file as DecodeQueueFile reads them, read from the
    // device in blocks so the whole file is never held at once; false on a read error, with the
    // rows read so far kept.
    bool LoadQueueFile(QIODevice &device, double loadSerial);
    // The queue file's content as EncodeQueueFile gives it for items(), written in blocks;
    // false on a write error.
    bool WriteQueueFile(QIODevice &device) const;
    // The size in bytes of that content.
    qint64 QueueFileSize() const;

    // The rows in "B", in queue order.
    const std::vector<int> &BusyRows() const { return busy_; }

    QueueRowId RowId(int row) const;
    // The row the id names at present; -1 once it is gone.
    int RowOf(QueueRowId id) const;

    // A new row as the queue loader makes it: queued at priority "3", due at once; the message
    // loses the characters with codes 1 and 2 so it cannot break the file's records.
    static QueueItem MakeNewItem(const QByteArray &user, const QByteArray &fileName,
                                 const QByteArray &filePath, const QByteArray &message, double nowSerial);
    // Adds a row at the bottom.
    void AddItem(const QueueItem &item);
    // The rows whose status letter (blanks trimmed) is the status's, in queue order.
    QList<int> RowsWithStatus(RowStatus status) const;

    // Rows are indexes into the queue; duplicates and indexes out of range are ignored.
    void EnableSelectedItems(const QList<int> &rows, double nowSerial);
    void HoldSelectedItems(const QList<int> &rows);
    void DeleteSelectedItems(const QList<int> &rows);
    // p is 1, 2 or 3; anything else changes nothing.
    void SetSelectedPriority(const QList<int> &rows, int p);

    // Empties field 19 of every row whose field 19 (blanks trimmed) names the channel (index 0
    // to 3).
    void ClearChannelMark(int channel);

    // The row the scheduler starts next: the first due "Q" or "W" row of priority "1", else of
    // "2", else of "3"; -1 when none. A NextTry that is no number counts as due.
    int PickNextItem(double nowSerial) const;
    // The due rows for one user, in the order PickNextItem would take them, at most limit.
    std::vector<int> DueRowsOf(QByteArrayView user, double nowSerial, int limit) const;
    // The chosen row goes to the send channel (index 0 to 3), which field 19 shows; the id the
    // channel holds while it sends the row (0 for a row out of range).
    QueueRowId MarkBusy(int row, int channel);
    // The final or waiting state of the row sent, by outcome class; every class counts one more
    // try and frees the row from its channel. A row that is gone is left alone.
    // shortText, when given, is the outcome's own short text (else the code's).
    void SetOutcomeStatus(QueueRowId id, OutcomeClass outcomeClass, const QByteArray &code, double nowSerial,
                          const QByteArray &shortText = {});

    // A retried row waits this long (a day is 1).
    static constexpr double RetryDelayDays = 1.0 / 48.0;

private:
    // One row: its id, where its fields sit in pool_, its image, and what the indexes are
    // built from. Rows are added only at the bottom, so the ids rise from the top row down.
    struct Row {
        QueueRowId id = 0;
        qsizetype at = 0;
        int size = 0;
        int image = 0;
        double nextTry = 0;     // the parsed NextTry; NaN when it holds no number (due at once)
        qint8 priority = 0;     // 1 to 3 when field 7 is exactly that digit, else 0
        bool candidate = false; // status exactly "Q" or "W"
        bool busy = false;      // status exactly "B"
        bool marked = false;    // a channel field that is not empty
    };

    // Selected rows that may be changed, from the last to the first.
    QList<int> EditableRowsDescending(const QList<int> &rows) const;
    void RowChanged(int row);

    QByteArrayView FieldView(int row, int n) const;
    // Stores the fields as row's new content (row may be rows_.size() for a new row).
    // nextTry, when given, is field 17 as already read.
    void StoreRow(int row, const std::array<QByteArrayView, QueueItem::FieldCount> &fields, int image,
                  std::optional<double> nextTry = {});
    void StoreItem(int row, const QueueItem &item);
    // Changes one row, keeping the indexes right.
    void ReplaceRow(int row, const QueueItem &item);
    void ClearRows();
    void CompactPool();

    bool IsDueIndexed(const Row &r) const;
    void IndexRow(int row);
    void UnindexRow(int row);
    void RebuildIndex();
    // Moves the rows whose retry time has come to the due lists; a clock gone back rebuilds.
    void AdvanceTo(double nowSerial) const;

    std::vector<Row> rows_;
    QueueRowId lastId_ = 0;
    QByteArray pool_;        // its first poolUsed_ bytes are in use
    qsizetype poolUsed_ = 0;
    qsizetype garbage_ = 0;  // bytes among those no row uses any more

    // The scheduler's index, brought up to date by PickNextItem, hence mutable. A "Q" or "W" row
    // of priority p is in due_[p - 1] when its NextTry is no number or at most dueUntil_, else
    // in later_[p - 1] keyed by its NextTry.
    mutable std::array<std::vector<int>, 3> due_;
    mutable std::array<std::vector<std::pair<double, int>>, 3> later_;
    mutable double dueUntil_;
    std::vector<int> busy_;
    std::vector<int> marked_;
};
