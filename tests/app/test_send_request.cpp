// Files queued from the command line: the checks, the rows, the queue file of a stopped
// installation, and what a running engine answers on the link.
#include "app/HandoverJournal.h"
#include "app/InstanceCommands.h"
#include "app/SendRequest.h"

#include "TestSupport.h"
#include "core/Clock.h"
#include "transfer/Engine.h"
#include "transfer/Protocol.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {
const UserList Book = {MakeUserRecord({"bob", "pw", "alice", "apw", "S", "127.0.0.1", "4444"})};

QByteArray Bytes(const QString &path)
{
    return QFile::encodeName(path);
}
} // namespace

TEST(SendRequestTest, EveryProblemIsNamedOnItsOwnLine)
{
    ScratchDir dir;
    dir.write(QStringLiteral("good.bin"), "data");
    dir.write(QStringLiteral("empty.bin"), "");
    dir.write(QStringLiteral("odd\x01name"), "data");
    QDir().mkpath(dir.file(QStringLiteral("folder")));
    const QByteArray good = Bytes(dir.file(QStringLiteral("good.bin")));

    const struct {
        const char *what;
        QByteArray user;
        QList<QByteArray> paths;
        QByteArray message;
        QList<QByteArray> problems; // a part of each expected line, in order
    } cases[] = {
        {"all good", "bob", {good, good}, "hello\r\nworld", {}},
        {"unknown user", "carol", {good}, "", {"\"carol\" is not a user"}},
        {"user names match exactly", "Bob", {good}, "", {"\"Bob\" is not a user"}},
        {"missing, folder, empty", "bob",
         {Bytes(dir.file(QStringLiteral("nope"))), Bytes(dir.file(QStringLiteral("folder"))),
          Bytes(dir.file(QStringLiteral("empty.bin"))), good},
         "",
         {"nope: no such file", "folder: is a folder", "empty.bin: is empty"}},
        {"separator codes", "bob", {Bytes(dir.file(QStringLiteral("odd\x01name")))}, "", {"code 1 or 2"}},
        {"message over the request cap", "bob", {good}, QByteArray(40000, 'm'), {"message is too long"}},
        {"several at once", "nobody", {Bytes(dir.file(QStringLiteral("nope")))}, "",
         {"\"nobody\" is not a user", "nope: no such file"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SendRequest request;
        request.user = c.user;
        request.paths = c.paths;
        request.message = c.message;
        const QList<QByteArray> problems = CheckSendRequest(request, Book);
        ASSERT_EQ(problems.size(), c.problems.size()) << problems.join('\n').constData();
        for (qsizetype i = 0; i < problems.size(); ++i)
            EXPECT_TRUE(problems[i].contains(c.problems[i])) << problems[i].constData();
    }
}

TEST(SendRequestTest, LongestMessageIsTheQueueLoadersAndStillTravels)
{
    // The same limit as the queue loader's, on the message as it travels; what it lets through
    // makes a request the receiver takes.
    ScratchDir dir;
    dir.write(QStringLiteral("f"), "x");
    SendRequest request;
    request.user = "bob";
    request.paths = {Bytes(dir.file(QStringLiteral("f")))};
    request.message = QByteArray(Protocol::MaxMessageSize, 'm');
    EXPECT_TRUE(CheckSendRequest(request, Book).isEmpty());
    EXPECT_LE(Protocol::LongestRequestSize("alice", "apw", "f", 1, request.message), Protocol::MaxRequestSize);
    request.message += "\x01\x02"; // removed before it travels: not counted
    EXPECT_TRUE(CheckSendRequest(request, Book).isEmpty());
    request.message = QByteArray(Protocol::MaxMessageSize + 1, 'm');
    const QList<QByteArray> problems = CheckSendRequest(request, Book);
    ASSERT_EQ(problems.size(), 1);
    EXPECT_EQ(problems[0], QueueMessageProblem(request.message));
    EXPECT_TRUE(problems[0].contains("30001 bytes")) << problems[0].constData();
}

TEST(SendRequestTest, StoppedInstallationKeepsItsRowsAndGetsTheNewOnes)
{
    ScratchDir dir;
    QueueItem old = QueueModel::MakeNewItem("bob", "old.txt", "/x/old.txt", "", 46000.0);
    old.field(QueueItem::Status) = "H";
    old.field(QueueItem::StatusText) = "Hold";
    const QByteArray stored = EncodeQueueFile({old});
    // Text after the last record is ignored on loading; it must not become part of a new row.
    dir.write(QStringLiteral("Parcelwise_Queue"), stored + "junk");

    SendRequest request;
    request.user = "bob";
    request.paths = {"/x/a.bin", "/y/b.bin"};
    request.message = "m\x01\x02sg";
    request.priority = 1;
    ASSERT_TRUE(AppendToQueueFile(dir.path(), MakeSendItems(request, 46001.5)));

    const QByteArray file = dir.read(QStringLiteral("Parcelwise_Queue"));
    EXPECT_TRUE(file.startsWith(stored));
    const std::vector<QueueItem> rows = DecodeQueueFile(file, 46002.0);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].status(), "H");
    for (int r : {1, 2}) {
        EXPECT_EQ(rows[r].status(), "Q");
        EXPECT_EQ(rows[r].userName(), "bob");
        EXPECT_EQ(rows[r].priority(), "1");
        EXPECT_EQ(rows[r].tries(), "0");
        EXPECT_EQ(rows[r].message(), "msg");
        EXPECT_EQ(rows[r].nextTry(), "46001.50000000");
    }
    EXPECT_EQ(rows[1].filePath(), "/x/a.bin");
    EXPECT_EQ(rows[2].fileName(), "b.bin");

    // A queue file that cannot be read is never replaced.
    ScratchDir locked;
    locked.write(QStringLiteral("Parcelwise_Queue"), stored);
    QFile::setPermissions(locked.file(QStringLiteral("Parcelwise_Queue")), QFileDevice::Permissions());
    if (::getuid() != 0) {
        EXPECT_FALSE(AppendToQueueFile(locked.path(), MakeSendItems(request, 46001.5)));
        QFile::setPermissions(locked.file(QStringLiteral("Parcelwise_Queue")), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        EXPECT_EQ(locked.read(QStringLiteral("Parcelwise_Queue")), stored);
    }
}

TEST(SendRequestTest, QueueTableKeepsOneLinePerRowInColumns)
{
    QueueItem a = QueueModel::MakeNewItem("bob", "a.txt", "/a.txt", "", 46000.0);
    QueueItem b = QueueModel::MakeNewItem("alexandra", "two\nlines.txt", "/t", "", 46000.0);
    b.field(QueueItem::Status) = "E";
    b.field(QueueItem::StatusText) = "Error: File Missing";
    const QList<QByteArray> lines = QueueTable({a, b}, 46000.0).split('\n');
    ASSERT_EQ(lines.size(), 4) << "header, two rows, end";
    EXPECT_EQ(lines[0].simplified(), "# St Pri Tries User File Status");
    EXPECT_TRUE(lines[2].contains("two lines.txt"));
    // The stored status, then what it means.
    EXPECT_TRUE(lines[2].endsWith("Error: File Missing (the file is no longer where it was queued from)"))
        << lines[2].toStdString();
    EXPECT_TRUE(lines[1].endsWith("Queued"));
    // The file column starts at the same place on every line.
    const qsizetype at = lines[0].indexOf("File");
    EXPECT_EQ(lines[1].indexOf("a.txt"), at);
    EXPECT_EQ(lines[2].indexOf("two lines.txt"), at);
    EXPECT_EQ(QueueTable({}, 46000.0), "The queue is empty.\n");
}

TEST(EngineAnswers, TheAnswerToAddSaysWhenTheFilesGo)
{
    ScratchDir dir;
    dir.write(QStringLiteral("f.bin"), "content");
    const QByteArray path = Bytes(dir.file(QStringLiteral("f.bin")));
    struct Case {
        int sendChannels;
        bool started;
        const char *says;
    };
    const Case cases[] = {
        {1, true, "; Parcelwise is running and sends it now.\n"},
        {1, false, "; Parcelwise is running and sends it once communications start (Communications > Start Communications).\n"},
        {0, true, "; Parcelwise is running but has no send channel, so it waits (Number of Send Channels in Edit > Preferences, from the next start).\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.says);
        FakeClock clock;
        RecordingPrompt prompt;
        Engine engine(dir.path(), clock, prompt);
        engine.InitGlobals();
        engine.Users = Book;
        engine.Prefs.SendChannels = c.sendChannels;
        engine.Prefs.ListenPort = FreeLoopbackPort();
        engine.MainWindowLoad();
        if (c.started)
            engine.StartChannels();
        const std::optional<LinkMessage> added = AnswerEngineRequest(engine, {LinkVerb::Add, "bob", "", "3", path}, "headless");
        ASSERT_TRUE(added.has_value());
        ASSERT_EQ(added->size(), 2);
        EXPECT_TRUE(added->at(1).endsWith(c.says)) << added->at(1).constData();
        engine.BeginShutdown();
    }
}

TEST(EngineAnswers, AddListAndStatus)
{
    ScratchDir dir;
    dir.write(QStringLiteral("f.bin"), "content");
    const QByteArray path = Bytes(dir.file(QStringLiteral("f.bin")));
    FakeClock clock;
    RecordingPrompt prompt;
    Engine engine(dir.path(), clock, prompt);
    engine.InitGlobals();
    engine.Users = Book;
    engine.MainWindowLoad();

    const std::optional<LinkMessage> refused =
        AnswerEngineRequest(engine, {LinkVerb::Add, "bob", "", "3", path, "/no/such/file"}, "headless");
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->first(), LinkVerb::Refused);
    EXPECT_TRUE(refused->join('\n').contains("no such file"));
    EXPECT_EQ(engine.Queue().rowCount(), 0) << "one refused file queues nothing";
    EXPECT_FALSE(QFile::exists(dir.file(QStringLiteral("Parcelwise_Queue"))));

    const std::optional<LinkMessage> added =
        AnswerEngineRequest(engine, {LinkVerb::Add, "bob", "hi", "2", path}, "headless");
    ASSERT_TRUE(added.has_value());
    EXPECT_EQ(added->first(), LinkVerb::Ok);
    ASSERT_EQ(engine.Queue().rowCount(), 1);
    EXPECT_EQ(engine.Queue().item(0).priority(), "2");
    EXPECT_EQ(engine.Queue().item(0).message(), "hi");
    const std::vector<QueueItem> stored =
        DecodeQueueFile(dir.read(QStringLiteral("Parcelwise_Queue")), clock.nowSerial());
    ASSERT_EQ(stored.size(), 1u) << "the queue file is written at once";
    EXPECT_EQ(stored[0].filePath(), path);

    const std::optional<LinkMessage> list = AnswerEngineRequest(engine, {LinkVerb::List}, "headless");
    ASSERT_TRUE(list.has_value());
    EXPECT_TRUE(list->at(1).contains("f.bin"));
    const std::optional<LinkMessage> status = AnswerEngineRequest(engine, {LinkVerb::Status}, "headless");
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->at(1).contains("running headless"));
    EXPECT_TRUE(status->at(1).contains("Port: 4444"));
    EXPECT_TRUE(status->at(1).contains("Send channel  1 status: Idle"));
    EXPECT_TRUE(status->at(1).contains("Receive channel  4 status: Disabled"));

    EXPECT_FALSE(AnswerEngineRequest(engine, {LinkVerb::Raise}, "headless").has_value());
    // While it shuts down the queue file has been written for the last time: the sender is told
    // to wait and write the file itself.
    engine.BeginShutdown();
    const std::optional<LinkMessage> late = AnswerEngineRequest(engine, {LinkVerb::Add, "bob", "", "3", path}, "headless");
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->first(), ClosingReply);
    EXPECT_EQ(engine.Queue().rowCount(), 1);
}

TEST(EngineAnswers, AHandOverAskedAgainIsQueuedOnce)
{
    ScratchDir dir;
    dir.write(QStringLiteral("f.bin"), "content");
    const QByteArray path = Bytes(dir.file(QStringLiteral("f.bin")));
    FakeClock clock;
    RecordingPrompt prompt;
    Engine engine(dir.path(), clock, prompt);
    engine.InitGlobals();
    engine.Users = Book;
    engine.MainWindowLoad();

    const QByteArray id = NewHandoverId();
    const QByteArray other = NewHandoverId();
    ASSERT_NE(id, other);
    EXPECT_FALSE(HandoverDone(dir.path(), id));
    // The client asks again when the answer is late: every asking is answered, one row is queued.
    for (int asked = 0; asked < 3; ++asked) {
        const std::optional<LinkMessage> reply =
            AnswerEngineRequest(engine, {LinkVerb::AddOnce, id, "bob", "", "3", path}, "headless");
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->first(), LinkVerb::Ok);
    }
    EXPECT_EQ(engine.Queue().rowCount(), 1);
    EXPECT_TRUE(HandoverDone(dir.path(), id)) << "a client finding the installation gone leaves the rows to it";
    EXPECT_FALSE(HandoverDone(dir.path(), other));
    // Another request is another row; the journal keeps only the recent ids.
    AnswerEngineRequest(engine, {LinkVerb::AddOnce, other, "bob", "", "3", path}, "headless");
    EXPECT_EQ(engine.Queue().rowCount(), 2);
    for (int i = 0; i < HandoverJournalKeeps; ++i)
        ASSERT_TRUE(RecordHandover(dir.path(), NewHandoverId()));
    EXPECT_FALSE(HandoverDone(dir.path(), id));
    EXPECT_EQ(dir.read(QLatin1String(HandoverJournalName)).count('\n'), HandoverJournalKeeps);
}

TEST(SendRequestTest, RemovingSentRowsKeepsEveryOtherByte)
{
    ScratchDir dir;
    std::vector<QueueItem> items;
    for (const char *status : {"Q", "S", "W", "S", "H"}) {
        QueueItem item = QueueModel::MakeNewItem("bob", "f", "/f", "a message", 46000.5);
        item.field(QueueItem::Status) = status;
        items.push_back(item);
    }
    // Stored bytes the reader would change on loading, and text after the last record.
    items[0].field(QueueItem::NextTry) = "not a number";
    const QByteArray stored = EncodeQueueFile(items) + "trailing";
    dir.write(QStringLiteral("Parcelwise_Queue"), stored);
    EXPECT_EQ(RemoveSentRowsFromQueueFile(dir.path()), 2);
    EXPECT_EQ(dir.read(QStringLiteral("Parcelwise_Queue")),
              EncodeQueueFile({items[0]}) + EncodeQueueFile({items[2]}) + EncodeQueueFile({items[4]}) + "trailing");
    EXPECT_EQ(RemoveSentRowsFromQueueFile(dir.path()), 0);

    ScratchDir empty;
    EXPECT_FALSE(HoldsInstallation(empty.path()));
    EXPECT_TRUE(HoldsInstallation(dir.path()));
}

TEST(EngineAnswers, ListSaysWhatARowsStatusMeansAndWhenItIsTriedAgain)
{
    ScratchDir dir;
    dir.write(QStringLiteral("f.bin"), "content");
    const QByteArray path = Bytes(dir.file(QStringLiteral("f.bin")));
    const QByteArray port = QByteArray::number(FreeLoopbackPort());
    FakeClock clock;
    RecordingPrompt prompt;
    Engine engine(dir.path(), clock, prompt);
    engine.InitGlobals();
    const QByteArray pagePort = QByteArray::number(FreeLoopbackPort());
    engine.Users = {MakeUserRecord({"bob", "pw", "alice", "apw", "S", "127.0.0.1", port}),
                    MakeUserRecord({"carol", "pw", "alice", "apw", "D", "http://127.0.0.1:" + pagePort + "/carol.html"}),
                    MakeUserRecord({"dave", "pw", "alice", "apw", "S", "", "4444"})};
    engine.MainWindowLoad();
    for (const char *user : {"bob", "carol", "dave"})
        ASSERT_EQ(AnswerEngineRequest(engine, {LinkVerb::Add, user, "", "3", path}, "headless")->first(), LinkVerb::Ok);
    engine.StartChannels();
    engine.QueueTick();
    ASSERT_TRUE(WaitFor([&] {
        for (int r = 0; r < 3; ++r)
            if (engine.Queue().item(r).status() != "W")
                return false;
        return true;
    }));
    // The stored status keeps its words; --list adds what they mean, where and when.
    EXPECT_EQ(engine.Queue().item(0).statusText(), "Retry Wait 10061");
    const std::optional<LinkMessage> list = AnswerEngineRequest(engine, {LinkVerb::List}, "headless");
    ASSERT_TRUE(list.has_value());
    const QByteArray next = "; next try at " + ShortTime(clock.now().addSecs(30 * 60)) + ")";
    for (const QByteArray &expected :
         {"Retry Wait 10061 (connection refused by 127.0.0.1:" + port + next,
          "Retry Wait No Address (no address for the peer: the peer's page could not be fetched: connection refused "
          "by the web server" + next,
          "Retry Wait No Address (no address for the peer: the users window gives no IP address or no usable port "
          "for this user" + next})
        EXPECT_TRUE(list->at(1).contains(expected)) << expected.toStdString() << "\nin\n" << list->at(1).toStdString();
    engine.BeginShutdown();
}
