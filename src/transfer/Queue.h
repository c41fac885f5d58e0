// The outgoing queue: one row per file to deliver, in queue order, the operations the menus,
// the scheduler and the outcome handling perform on the rows, and the queue file's format.
#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QList>
#include <array>
#include <vector>

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

// What keeps a file out of the queue, as one line naming the file; empty when nothing does.
// The queue loader and --send both refuse with it. A path holding the queue file's separators
// (codes 1 and 2, legal in names here) would break the record it is stored in.
QByteArray QueuePathProblem(const QByteArray &path);
// What keeps a message out of the queue; empty when nothing does. The message is measured as
// it travels in the request (the row's message, codes 1 and 2 removed), against
// Protocol::MaxMessageSize.
QByteArray QueueMessageProblem(const QByteArray &message);

// The queue rows as the main window's list shows them: 21 columns, column 0 only the row's
// image, column n (1 to 19) field n, column 20 nothing. The operations on selected rows never
// touch a row in "B": a row being sent is not the user's to change. Saving the queue file after
// an edit is the caller's task.
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

    const QueueItem &item(int row) const { return items_[static_cast<size_t>(row)]; }
    const std::vector<QueueItem> &items() const { return items_; }
    void setItems(std::vector<QueueItem> items);
    void setItem(int row, const QueueItem &item);

    // A new row as the queue loader makes it: queued at priority "3", due at once; the message
    // loses the characters with codes 1 and 2 so it cannot break the file's records.
    static QueueItem MakeNewItem(const QByteArray &user, const QByteArray &fileName,
                                 const QByteArray &filePath, const QByteArray &message, double nowSerial);
    // Adds a row at the bottom.
    void AddItem(const QueueItem &item);

    // Rows are indexes into the queue; duplicates and indexes out of range are ignored.
    void EnableSelectedItems(const QList<int> &rows, double nowSerial);
    void HoldSelectedItems(const QList<int> &rows);
    void DeleteSelectedItems(const QList<int> &rows);
    // p is 1, 2 or 3; anything else changes nothing.
    void SetSelectedPriority(const QList<int> &rows, int p);

    // Empties field 19 of every row sent on the channel (index 0 to 3).
    void ClearChannelMark(int channel);

    // The row the scheduler starts next: the first due "Q" or "W" row of priority "1", else of
    // "2", else of "3"; -1 when none. A NextTry that is no number counts as due.
    int PickNextItem(double nowSerial) const;
    // The chosen row goes to the send channel (index 0 to 3).
    void MarkBusy(int row, int channel);
    // The final or waiting state of the rows sent on the channel, by outcome class 'A', 'B' or
    // 'C'; every class counts one more try and frees the row from the channel.
    void SetOutcomeStatus(int channel, char outcomeClass, const QByteArray &code, double nowSerial);

    // A retried row waits this long (a day is 1).
    static constexpr double RetryDelayDays = 1.0 / 48.0;

private:
    // Selected rows that may be changed, from the last to the first.
    QList<int> EditableRowsDescending(const QList<int> &rows) const;
    void RowChanged(int row);

    std::vector<QueueItem> items_;
};
