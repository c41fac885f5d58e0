// The queue file format with the normalisation done on loading, the operations on selected
// rows, the scheduler's choice of the next row, and the row states after a send outcome.
#include "transfer/Queue.h"

#include "core/Clock.h"
#include "transfer/Outcomes.h"

#include <QBuffer>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

const QDateTime LoadTime(QDate(2026, 12, 10), QTime(9, 30, 0));
// Computed on use: the date serial epoch of the clock is a static of another file.
double Load()
{
    return ToDateSerial(LoadTime);
}

double MinutesFromLoad(double minutes)
{
    return Load() + minutes / 1440.0;
}

QueueItem Row(const QByteArray &status, const QByteArray &priority = "3", double nextTry = Load(),
              const QByteArray &channel = {})
{
    QueueItem item = QueueModel::MakeNewItem("ann", "a.txt", "/d/a.txt", "hi", nextTry);
    item.field(QueueItem::Status) = status;
    item.field(QueueItem::Priority) = priority;
    item.field(QueueItem::Channel) = channel;
    return item;
}

// One stored record from the fields 1, 2, ... given; each closed by code 1, the record by code 2.
QByteArray Record(std::initializer_list<QByteArray> fields)
{
    QByteArray record;
    for (const QByteArray &f : fields)
        record += f + '\x01';
    return record + '\x02';
}

QByteArray FullRecord(const QByteArray &status, const QByteArray &statusText, const QByteArray &nextTry,
                      const QByteArray &channel = "1")
{
    return Record({status, "", "ann", "", "a.txt", "/d/a.txt", "2", "", "5", "4", "", statusText, "", "", "",
                   "", nextTry, "msg", channel});
}

TEST(QueueFile, MakeNewItemAndExactEncoding)
{
    const QueueItem item = QueueModel::MakeNewItem("ann", "a.txt", "/d/a.txt", "x\x01y\x02z", Load());
    EXPECT_EQ(item.image, QueueItem::ImageQueued);
    EXPECT_EQ(EncodeQueueFile({item}),
              Record({"Q", "", "ann", "", "a.txt", "/d/a.txt", "3", "", "5", "0", "", "Queued", "", "", "",
                      "", FormatDateSerial(Load()), "xyz", ""}));
    EXPECT_EQ(EncodeQueueFile({}), QByteArray());
}

TEST(QueueFile, RoundTripKeepsSettledRows)
{
    std::vector<QueueItem> rows = {Row("Q", "1", MinutesFromLoad(-5)), Row("S", "2"), Row("E"), Row("H")};
    rows[1].image = QueueItem::ImageSent;
    rows[1].field(QueueItem::StatusText) = "Sent";
    rows[2].image = QueueItem::ImageError;
    rows[2].field(QueueItem::StatusText) = "Error: File Missing";
    rows[3].image = QueueItem::ImageHold;
    rows[3].field(QueueItem::StatusText) = "Hold";
    rows[3].field(QueueItem::Message) = QByteArray("bytes \0\xff\r kept", 14);
    EXPECT_EQ(DecodeQueueFile(EncodeQueueFile(rows), Load()), rows);
}

struct LoadCase {
    const char *name;
    QByteArray content;
    size_t rows;
    // Checks on the first row, when there is one.
    QByteArray status;
    int image;
    QByteArray statusText;
    QByteArray nextTry;
    QByteArray userName;
};

TEST(QueueFile, DamagedAndStaleFilesAreNormalised)
{
    const QByteArray past = FormatDateSerial(MinutesFromLoad(-90));
    const QByteArray future = FormatDateSerial(MinutesFromLoad(600));
    const QByteArray atLoad = FormatDateSerial(Load());
    const LoadCase cases[] = {
        {"waiting row with retry text", FullRecord("W", "Retry Wait Busy", future), 1, "Q", 6, "Queued",
         atLoad, "ann"},
        {"busy row", FullRecord("B", "Busy", past), 1, "Q", 6, "Queued", past, "ann"},
        {"unknown letter", FullRecord("X", "Strange", past), 1, "Q", 1, "Strange", past, "ann"},
        {"lower-case letter", FullRecord("s", "Sent", past), 1, "Q", 1, "Sent", past, "ann"},
        {"sent", FullRecord("S", "Sent", past), 1, "S", 2, "Sent", past, "ann"},
        {"error", FullRecord("E", "Error: Timeout", past), 1, "E", 3, "Error: Timeout", past, "ann"},
        {"held, future retry time", FullRecord("H", "Hold", future), 1, "H", 7, "Hold", atLoad, "ann"},
        {"unreadable retry time", FullRecord("Q", "Queued", "soon"), 1, "Q", 6, "Queued", atLoad, "ann"},
        {"empty retry time", FullRecord("Q", "Queued", ""), 1, "Q", 6, "Queued", atLoad, "ann"},
        {"retry time rewritten", FullRecord("Q", "Queued", "45000.5"), 1, "Q", 6, "Queued", "45000.50000000",
         "ann"},
        {"spaces around fields", FullRecord("  H ", "  Retr", past + "  "), 1, "H", 7, "Queued", past, "ann"},
        {"status text starting Busy", FullRecord("E", "Busybody", past), 1, "E", 3, "Queued", past, "ann"},
        {"short record", Record({"S", "", " bob "}), 1, "S", 2, "", "", "bob"},
        {"empty letter", Record({"", "", "bob"}), 1, "Q", 1, "", "", "bob"},
        {"text after the last record", FullRecord("E", "E", past) + "Q\x01x\x01", 1, "E", 3, "E", past,
         "ann"},
        {"records without a closed field", QByteArray("\x02junk\x02\x02", 7), 0, "", 0, "", "", ""},
        {"no record end", QByteArray("Q\x01\0\0garbage\x01\xff", 13), 0, "", 0, "", "", ""},
        {"spaces only", "     ", 0, "", 0, "", "", ""},
        {"empty", "", 0, "", 0, "", "", ""},
    };
    for (const LoadCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<QueueItem> rows = DecodeQueueFile(c.content, Load());
        ASSERT_EQ(rows.size(), c.rows);
        for (const QueueItem &row : rows)
            EXPECT_TRUE(row.channel().isEmpty());
        if (rows.empty())
            continue;
        EXPECT_EQ(rows[0].status(), c.status);
        EXPECT_EQ(rows[0].image, c.image);
        EXPECT_EQ(rows[0].statusText(), c.statusText);
        EXPECT_EQ(rows[0].nextTry(), c.nextTry);
        EXPECT_EQ(rows[0].userName(), c.userName);
    }
}

TEST(QueueFile, LongRecordKeepsFirstNineteenAndLeavesTheNextRecordIntact)
{
    QByteArray content = "S\x01";
    for (int n = 2; n <= 25; ++n)
        content += "f" + QByteArray::number(n) + '\x01';
    content += '\x02' + FullRecord("H", "Hold", "1.5");
    const std::vector<QueueItem> rows = DecodeQueueFile(content, Load());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].field(18), "f18");
    EXPECT_EQ(rows[0].field(19), "");
    EXPECT_EQ(rows[1].status(), "H");
    EXPECT_EQ(rows[1].message(), "msg");
    EXPECT_EQ(rows[1].nextTry(), "1.50000000");
}

TEST(QueueModel, ColumnsShowImageAndFields)
{
    QueueModel model;
    model.AddItem(Row("Q", "2"));
    ASSERT_EQ(model.columnCount(), 21);
    EXPECT_EQ(model.data(model.index(0, 0), QueueModel::ImageRole).toInt(), QueueItem::ImageQueued);
    EXPECT_EQ(model.data(model.index(0, 0)).toString(), QString());
    EXPECT_EQ(model.data(model.index(0, 3)).toString(), QStringLiteral("ann"));
    EXPECT_EQ(model.data(model.index(0, 7)).toString(), QStringLiteral("2"));
    EXPECT_EQ(model.data(model.index(0, 12), QueueModel::FieldRole).toByteArray(), "Queued");
    EXPECT_TRUE(model.data(model.index(0, 20)).toString().isEmpty());
}

// Every selected row but the one being sent is changed; the busy row sits between the others.
TEST(QueueModel, SelectedRowOperationsNeverTouchABusyRow)
{
    const double now = MinutesFromLoad(60);
    const std::vector<QueueItem> start = {Row("S", "1", Load()), Row("B", "2", Load(), "0"), Row("E"),
                                          Row("W", "2")};
    const QList<int> all = {3, 1, 0, 2, 2, 9, -1};  // unordered, doubled and out-of-range indexes

    QueueModel model;
    model.setItems(start);
    model.HoldSelectedItems(all);
    for (int row : {0, 2, 3}) {
        EXPECT_EQ(model.item(row).status(), "H");
        EXPECT_EQ(model.item(row).statusText(), "Hold");
        EXPECT_EQ(model.item(row).image, QueueItem::ImageHold);
    }
    EXPECT_EQ(model.item(1), start[1]);

    model.setItems(start);
    model.setItem(2, [&] {
        QueueItem e = start[2];
        e.field(QueueItem::Tries) = "4";
        return e;
    }());
    model.EnableSelectedItems(all, now);
    for (int row : {0, 2, 3}) {
        EXPECT_EQ(model.item(row).status(), "Q");
        EXPECT_EQ(model.item(row).statusText(), "Queued");
        EXPECT_EQ(model.item(row).image, QueueItem::ImageQueued);
        EXPECT_EQ(model.item(row).nextTry(), FormatDateSerial(now));
    }
    EXPECT_EQ(model.item(2).tries(), "4");
    EXPECT_EQ(model.item(1), start[1]);

    model.setItems(start);
    model.SetSelectedPriority(all, 1);
    for (int row : {0, 2, 3})
        EXPECT_EQ(model.item(row).priority(), "1");
    EXPECT_EQ(model.item(1), start[1]);
    model.SetSelectedPriority(all, 4);
    EXPECT_EQ(model.item(0).priority(), "1");

    model.setItems(start);
    int removed = 0;
    QObject::connect(&model, &QAbstractItemModel::rowsRemoved, [&] { ++removed; });
    model.DeleteSelectedItems({0, 1, 3});
    EXPECT_EQ(removed, 2);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.item(0), start[1]);
    EXPECT_EQ(model.item(1), start[2]);
}

struct PickRow {
    const char *status;
    const char *priority;
    const char *nextTry;  // minutes from the load time, or a text that is no number
};

struct PickCase {
    const char *name;
    std::vector<PickRow> rows;
    double nowMinutes;
    int expected;
};

TEST(QueueModel, PickNextItemByPriorityThenPosition)
{
    const PickCase cases[] = {
        {"priority beats position", {{"Q", "3", "0"}, {"Q", "2", "0"}, {"Q", "1", "0"}}, 0, 2},
        {"upper of equal priority", {{"Q", "2", "0"}, {"W", "2", "-10"}}, 0, 0},
        {"waiting row not yet due", {{"W", "1", "10"}, {"Q", "3", "0"}}, 9, 1},
        {"waiting row due once its time has come", {{"W", "1", "10"}, {"Q", "3", "0"}}, 11, 0},
        {"held, failed, sent, busy never",
         {{"H", "1", "0"}, {"E", "1", "0"}, {"S", "1", "0"}, {"B", "1", "0"}},
         60,
         -1},
        {"nothing due", {{"Q", "1", "5"}, {"W", "2", "30"}}, 0, -1},
        {"priority not 1 to 3", {{"Q", "0", "0"}, {"Q", " 1", "0"}, {"Q", "", "0"}}, 0, -1},
        {"unreadable retry time is due", {{"Q", "2", "0"}, {"W", "1", "later"}}, 0, 1},
        {"empty queue", {}, 0, -1},
    };
    for (const PickCase &c : cases) {
        SCOPED_TRACE(c.name);
        QueueModel model;
        for (const PickRow &r : c.rows) {
            QueueItem item = Row(r.status, r.priority);
            bool minutes = false;
            const double offset = QByteArray(r.nextTry).toDouble(&minutes);
            item.field(QueueItem::NextTry) =
                minutes ? FormatDateSerial(MinutesFromLoad(offset)) : QByteArray(r.nextTry);
            model.AddItem(item);
        }
        EXPECT_EQ(model.PickNextItem(MinutesFromLoad(c.nowMinutes)), c.expected);
    }
}

TEST(QueueModel, MarkBusyAndClearChannelMark)
{
    QueueModel model;
    model.setItems({Row("Q"), Row("B", "3", Load(), " 2 "), Row("B", "3", Load(), "20")});
    model.MarkBusy(0, 3);
    EXPECT_EQ(model.item(0).status(), "B");
    EXPECT_EQ(model.item(0).statusText(), "Busy");
    EXPECT_EQ(model.item(0).image, QueueItem::ImageBusy);
    EXPECT_EQ(model.item(0).channel(), "3");
    model.ClearChannelMark(2);
    EXPECT_EQ(model.item(1).channel(), "");
    EXPECT_EQ(model.item(2).channel(), "20");
    EXPECT_EQ(model.item(0).channel(), "3");
}

struct OutcomeStatusCase {
    OutcomeClass outcomeClass;
    const char *code;
    const char *status;
    const char *statusText;
    int image;
    bool retryLater;
};

TEST(QueueModel, SetOutcomeStatusByClass)
{
    const OutcomeStatusCase cases[] = {
        {OutcomeClass::Delivered, "260", "S", "Sent", QueueItem::ImageSent, false},
        {OutcomeClass::Delivered, "406", "S", "Sent", QueueItem::ImageSent, false},
        {OutcomeClass::RetryLater, "10061", "W", "Retry Wait 10061", QueueItem::ImageRetryWait, true},
        {OutcomeClass::RetryLater, "101", "W", "Retry Wait Refused", QueueItem::ImageRetryWait, true},
        {OutcomeClass::RetryLater, "400", "W", "Retry Wait Busy", QueueItem::ImageRetryWait, true},
        {OutcomeClass::Failed, "11001", "E", "Error: 11001", QueueItem::ImageError, false},
        {OutcomeClass::Failed, "442", "E", "Error: File Missing", QueueItem::ImageError, false},
    };
    const QDateTime failedAt = LoadTime.addSecs(7);
    for (const OutcomeStatusCase &c : cases) {
        SCOPED_TRACE(c.code);
        QueueModel model;
        model.setItems({Row("B", "3", Load(), "1"), Row("B", "3", Load(), "2"), Row("B", "1", Load(), "2 ")});
        model.setItem(1, [&] {
            QueueItem i = model.item(1);
            i.field(QueueItem::Tries) = "";
            return i;
        }());
        model.setItem(2, [&] {
            QueueItem i = model.item(2);
            i.field(QueueItem::Tries) = "2";
            return i;
        }());
        const QueueItem other = model.item(0);

        for (int row : {1, 2})
            model.SetOutcomeStatus(model.RowId(row), c.outcomeClass, c.code, ToDateSerial(failedAt));
        EXPECT_EQ(model.item(0), other);
        EXPECT_EQ(model.item(1).tries(), "1");
        EXPECT_EQ(model.item(2).tries(), "3");
        for (int row : {1, 2}) {
            const QueueItem &item = model.item(row);
            EXPECT_EQ(item.status(), c.status);
            EXPECT_EQ(item.statusText(), c.statusText);
            EXPECT_EQ(item.image, c.image);
            EXPECT_EQ(item.channel(), "");
            double next = 0;
            ASSERT_TRUE(ParseDateSerial(item.nextTry(), next));
            const QDateTime expected = c.retryLater ? failedAt.addSecs(30 * 60) : LoadTime;
            EXPECT_LE(AbsSecondsBetween(FromDateSerial(next), expected), 1);
        }
    }
}

// The outcome reaches the row its channel took, found by the row's id: rows deleted above it
// move it up, and another row whose field 19 names the same channel is left alone.
TEST(QueueModel, OutcomeFindsItsRowByIdAfterRowsAboveAreDeleted)
{
    QueueModel model;
    model.setItems({Row("Q"), Row("H"), Row("Q"), Row("H", "3", Load(), "1")});
    const QueueRowId id = model.MarkBusy(2, 1);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(model.RowOf(id), 2);
    model.DeleteSelectedItems({0, 1});
    ASSERT_EQ(model.RowOf(id), 0);
    const QueueItem stray = model.item(1);
    model.SetOutcomeStatus(id, OutcomeClass::Delivered, "260", Load());
    EXPECT_EQ(model.item(0).status(), "S");
    EXPECT_EQ(model.item(0).channel(), "");
    EXPECT_EQ(model.item(0).tries(), "1");
    EXPECT_EQ(model.item(1), stray);

    // Ids are never given again: a new row has its own, a deleted or reloaded row's id names
    // nothing, and an outcome for it changes nothing.
    model.AddItem(Row("Q"));
    const QueueRowId added = model.RowId(2);
    EXPECT_NE(added, id);
    EXPECT_EQ(model.RowOf(added), 2);
    model.DeleteSelectedItems({0});
    EXPECT_EQ(model.RowOf(id), -1);
    const std::vector<QueueItem> before = model.items();
    model.SetOutcomeStatus(id, OutcomeClass::Failed, "442", Load());
    EXPECT_EQ(model.items(), before);
    model.setItems(before);
    EXPECT_EQ(model.RowOf(added), -1);
    EXPECT_EQ(model.RowId(5), 0u);
}

TEST(QueueModel, StatusLettersAreReadExactly)
{
    for (RowStatus s : {RowStatus::Queued, RowStatus::Waiting, RowStatus::Busy, RowStatus::Held, RowStatus::Sent,
                        RowStatus::Error})
        EXPECT_EQ(ReadRowStatus(RowStatusLetter(s)), s);
    EXPECT_EQ(QByteArray(RowStatusLetter(RowStatus::Held)), "H");
    for (const char *text : {"q", " Q", "QQ", "", "X"})
        EXPECT_EQ(ReadRowStatus(text), std::nullopt) << text;
}

// A file sent at the third attempt shows three tries, and a retried row is due 30 minutes on.
TEST(QueueModel, RetriesCountUntilSent)
{
    QueueModel model;
    model.AddItem(QueueModel::MakeNewItem("ann", "a.txt", "/d/a.txt", "", Load()));
    double now = Load();
    for (const char *code : {"813", "402", "260"}) {
        const int row = model.PickNextItem(now);
        ASSERT_EQ(row, 0) << code;
        const QueueRowId id = model.MarkBusy(row, 1);
        const Outcome o = ClassifyOutcome(code, "ann", "a.txt", "/d/a.txt");
        model.SetOutcomeStatus(id, o.outcomeClass, code, now);
        EXPECT_EQ(model.PickNextItem(now + 29.0 / 1440), -1);
        now += 30.0 / 1440 + 1e-6;
    }
    EXPECT_EQ(model.item(0).status(), "S");
    EXPECT_EQ(model.item(0).tries(), "3");
}


// ---- the model's indexes against a walk over every row ----

// The scheduler's rule stated as a walk over the rows (due allows the stored precision).
int WalkPick(const QueueModel &model, double now)
{
    for (const char *pass : {"1", "2", "3"}) {
        for (int row = 0; row < model.rowCount(); ++row) {
            const QueueItem it = model.item(row);
            double next = 0;
            const bool due = !ParseDateSerial(it.nextTry(), next) || !std::isfinite(next) || next <= now + StoredSerialHalfUnit;
            if (it.priority() == pass && (it.status() == "W" || it.status() == "Q") && due)
                return row;
        }
    }
    return -1;
}

std::vector<int> WalkBusy(const QueueModel &model)
{
    std::vector<int> rows;
    for (int row = 0; row < model.rowCount(); ++row)
        if (model.item(row).status() == "B")
            rows.push_back(row);
    return rows;
}

// Random rows with the values that matter to the scheduler, some of them odd.
QueueItem RandomRow(std::mt19937 &rng)
{
    static const char *const statuses[] = {"Q", "W", "S", "E", "H", "B", "q", " Q", "X"};
    static const char *const priorities[] = {"1", "2", "3", "3", "0", " 2", "", "12"};
    static const char *const channels[] = {"", "", "", "0", "1", " 2 ", "3", "x"};
    auto pick = [&](auto &list) { return QByteArray(list[rng() % std::size(list)]); };
    const int minutes = static_cast<int>(rng() % 121) - 60;
    QueueItem item = Row(pick(statuses), pick(priorities), MinutesFromLoad(minutes), pick(channels));
    switch (rng() % 12) {
    case 0:
        item.field(QueueItem::NextTry) = "soon";
        break;
    case 1:
        item.field(QueueItem::NextTry) = "";
        break;
    case 2:
        item.field(QueueItem::NextTry) = "1e999";
        break;
    default:
        break;
    }
    if (rng() % 10 == 0)
        item.field(QueueItem::FileName) = QByteArray("odd\x01name\x02", 10) + QByteArray(200, 'n');
    return item;
}

QList<int> RandomRows(std::mt19937 &rng, int count)
{
    QList<int> rows;
    for (int i = static_cast<int>(rng() % 4); i >= 0; --i)
        rows << static_cast<int>(rng() % static_cast<unsigned>(count + 2)) - 1;
    return rows;
}

// Every operation on random queues, with the clock moving mostly on and sometimes back: the
// indexed choice is always the walk's, the busy rows are the walk's, and every row reads back
// as written, odd bytes included.
TEST(QueueModel, IndexedChoiceMatchesTheWalkOverRandomEdits)
{
    std::mt19937 rng(20261210);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        QueueModel model;
        std::vector<QueueItem> start;
        for (int i = static_cast<int>(rng() % 30); i > 0; --i)
            start.push_back(RandomRow(rng));
        model.setItems(start);
        EXPECT_EQ(model.items(), start);
        double now = MinutesFromLoad(-70);
        for (int step = 0; step < 60; ++step) {
            const int n = model.rowCount();
            const int row = n ? static_cast<int>(rng() % static_cast<unsigned>(n)) : 0;
            switch (rng() % 11) {
            case 0:
                model.AddItem(RandomRow(rng));
                break;
            case 1:
                if (n) {
                    const QueueItem written = RandomRow(rng);
                    model.setItem(row, written);
                    EXPECT_EQ(model.item(row), written);
                }
                break;
            case 2:
                model.EnableSelectedItems(RandomRows(rng, n), now);
                break;
            case 3:
                model.HoldSelectedItems(RandomRows(rng, n));
                break;
            case 4:
                model.DeleteSelectedItems(RandomRows(rng, n));
                break;
            case 5:
                model.SetSelectedPriority(RandomRows(rng, n), static_cast<int>(rng() % 4) + 1);
                break;
            case 6:
                model.SetOutcomeStatus(model.RowId(row), static_cast<OutcomeClass>(rng() % 3), "400", now);
                break;
            case 7:
                model.ClearChannelMark(static_cast<int>(rng() % 4));
                break;
            case 8: {
                const int picked = model.PickNextItem(now);
                if (picked >= 0)
                    model.MarkBusy(picked, static_cast<int>(rng() % 4));
                break;
            }
            case 9:
                now -= (rng() % 30) / 1440.0;
                break;
            default:
                now += (rng() % 40) / 1440.0;
                break;
            }
            ASSERT_EQ(model.PickNextItem(now), WalkPick(model, now)) << "step " << step;
            ASSERT_EQ(model.BusyRows(), WalkBusy(model)) << "step " << step;
        }
    }
}

// The file read in blocks and written in blocks is the file read and written whole, also when a
// record crosses a block's end and when text follows the last record.
TEST(QueueFile, BlockwiseLoadAndSaveMatchTheWholeFile)
{
    std::mt19937 rng(7);
    std::vector<QueueItem> rows;
    for (int i = 0; i < 12000; ++i) {
        QueueItem item = RandomRow(rng);
        item.field(QueueItem::FileName) = "file" + QByteArray::number(i);  // no separators inside
        item.field(QueueItem::Message) = QByteArray(static_cast<int>(rng() % 300), 'm');
        if (i % 7 == 0)
            item.field(QueueItem::StatusText) = "  Retry Wait Busy ";
        if (i % 5 == 0)
            item.field(QueueItem::NextTry) = QByteArray::number(45000 + i, 'f', 3);
        rows.push_back(item);
    }
    const QByteArray content = EncodeQueueFile(rows) + "Q\x01unfinished\x01";
    ASSERT_GT(content.size(), 2 << 20);
    const std::vector<QueueItem> decoded = DecodeQueueFile(content, Load());

    QBuffer file;
    file.setData(content);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QueueModel model;
    EXPECT_TRUE(model.LoadQueueFile(file, Load()));
    ASSERT_EQ(model.rowCount(), static_cast<int>(decoded.size()));
    EXPECT_EQ(model.items(), decoded);

    QBuffer out;
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    EXPECT_TRUE(model.WriteQueueFile(out));
    EXPECT_EQ(out.data(), EncodeQueueFile(decoded));
}

}  // namespace

// A row queued "now" is due at once, whatever fraction of the stored unit (eight decimals of a
// day) its time falls on: the stored text rounds to the nearest unit, which may lie after now,
// and the row would then wait for the next scheduler tick.
TEST(QueueModel, RowQueuedNowIsDueAtOnce)
{
    int notDue = 0;
    for (int k = 0; k < 1000; ++k) {
        const double now = 46000.5 + k * 1e-10;
        QueueModel model;
        model.AddItem(QueueModel::MakeNewItem("ann", "a.txt", "/d/a.txt", "", now));
        notDue += model.PickNextItem(now) != 0;
        notDue += model.DueRowsOf("ann", now, 4).size() != 1;
    }
    EXPECT_EQ(notDue, 0);
    // A row due a whole unit later still waits.
    QueueModel model;
    model.AddItem(QueueModel::MakeNewItem("ann", "a.txt", "/d/a.txt", "", 46000.5 + 2e-8));
    EXPECT_EQ(model.PickNextItem(46000.5), -1);
}
