// Several files over one connection with a receiver that offers BATCH: each file keeps its own
// reply, log lines, row status and resume offset; a peer that knows only one file per connection
// is served and sent to as before; a batch cut in the middle resumes, encrypted or not.
#include "../core/FileSizeLimit.h"
#include "EngineHarness.h"
#include "ScriptedReceiver.h"
#include "core/FileOps.h"
#include "transfer/BatchProtocol.h"
#include "transfer/Protocol.h"

#include <QDir>
#include <QTcpServer>
#include <array>
#include <gtest/gtest.h>
#include <map>
#include <memory>

using namespace Protocol;

namespace {

QueueItem Row(const EngineHarness &h, int row) { return h.engine->Queue().item(row); }

void QueueFile(EngineHarness &h, const QByteArray &name, const QByteArray &content, const QByteArray &user = "bob")
{
    h.dir.write(QString::fromLatin1(name), content);
    h.engine->AddQueueItems({QueueModel::MakeNewItem(user, name, h.dir.file(QString::fromLatin1(name)).toLocal8Bit(),
                                                     "note " + name, h.clock.nowSerial())});
}

bool AllSettled(const EngineHarness &h)
{
    for (int row = 0; row < h.engine->Queue().rowCount(); ++row)
        if (Row(h, row).status() == "B" || Row(h, row).status() == "Q")
            return false;
    return true;
}

// Passes the sender's first `limit` bytes of a connection on and drops the rest; a close on
// either side closes the other.
struct Gate {
    Gate(int targetPort, qint64 limit)
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, targetPort, limit] {
            QTcpSocket *from = server.nextPendingConnection();
            auto *to = new QTcpSocket(from);
            auto passed = std::make_shared<qint64>(0);
            from->setReadBufferSize(64 * 1024);
            to->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(targetPort));
            auto forward = [from, to, passed, limit] {
                if (to->state() != QAbstractSocket::ConnectedState)
                    return;
                const QByteArray bytes = from->read(std::max<qint64>(0, limit - *passed));
                *passed += bytes.size();
                to->write(bytes);
                // Beyond the limit the bytes are lost on the way, so the sender's close still
                // comes through.
                if (*passed >= limit)
                    from->readAll();
            };
            QObject::connect(to, &QTcpSocket::connected, forward);
            QObject::connect(from, &QTcpSocket::readyRead, forward);
            QObject::connect(to, &QTcpSocket::readyRead, [from, to] { from->write(to->readAll()); });
            QObject::connect(from, &QTcpSocket::disconnected, to, &QTcpSocket::disconnectFromHost);
            QObject::connect(to, &QTcpSocket::disconnected, from, &QTcpSocket::disconnectFromHost);
        });
    }
    int port() const { return server.serverPort(); }
    QTcpServer server;
};

} // namespace

TEST(BatchTransfer, APeerWithoutTheOfferGetsOneFilePerConnection)
{
    ScriptedReceiver plain("100 PARCELWISE WELCOME\r\r", {});
    EngineHarness tx(1, 1);
    tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(plain.port())});
    tx.Start();
    const QByteArray a = PatternBytes(70001, 1), b = PatternBytes(3, 2), c = PatternBytes(5000, 3);
    QueueFile(tx, "a.bin", a);
    QueueFile(tx, "b.bin", b);
    QueueFile(tx, "c.bin", c);
    ASSERT_TRUE(WaitFor([&] { return AllSettled(tx); }));
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(Row(tx, row).status(), "S") << row;
    EXPECT_EQ(plain.connections, 3);
    EXPECT_EQ(plain.batches, 0);
    EXPECT_EQ(plain.got["a.bin"], a);
    EXPECT_EQ(plain.got["b.bin"], b);
    EXPECT_EQ(plain.got["c.bin"], c);
}

TEST(BatchTransfer, RefusalsInTheMiddleOfABatchLeaveTheRestDelivered)
{
    // The receiver: the second request has a wrong password, the third names a file it holds
    // whole, the fourth resumes a file from an odd offset.
    EngineHarness rx(2, 0);
    rx.AddUser({"alice", "pw1", "", "", "S", "", "4444"});
    rx.Start();
    const QByteArray a = PatternBytes(70001, 4), have = PatternBytes(50, 5), d = PatternBytes(123457, 6);
    rx.dir.write("Parcelwise_Downloads/have.bin", have);
    rx.dir.write("Parcelwise_Downloads/d.bin", d.left(1001));
    RawPeer peer(rx.port);
    const QByteArray welcome = peer.ReadMessage();
    EXPECT_TRUE(welcome.startsWith("100 PARCELWISE WELCOME"));
    ASSERT_TRUE(BatchProtocol::OffersBatch(welcome));
    peer.Send(BatchProtocol::BuildBatch({BuildRequest("11", "alice", "pw1", "a.bin", a.size(), "first"),
                                         BuildRequest("12", "alice", "nope", "b.bin", 10, ""),
                                         BuildRequest("13", "alice", "pw1", "have.bin", have.size(), ""),
                                         BuildRequest("14", "alice", "pw1", "d.bin", d.size(), "")}));
    for (const QByteArray reply : {"1010\r\r", "402\r\r", "406\r\r", "1011001\r\r"})
        EXPECT_EQ(peer.ReadMessage(), reply);
    peer.Send(a + d.mid(1001));
    ASSERT_TRUE(peer.WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return rx.LogHas("alice successfully sent d.bin"); }));
    EXPECT_TRUE(rx.LogHas("alice successfully sent a.bin"));
    EXPECT_TRUE(rx.LogHas("Incorrect Login from 127.0.0.1"));
    EXPECT_TRUE(rx.LogHas("Attempt to send pre-existing file have.bin by alice"));
    EXPECT_TRUE(rx.LogHas("alice is resuming d.bin at 1001 bytes"));
    EXPECT_TRUE(rx.engine->Log().ReceivedMessages().contains("first"));
    EXPECT_EQ(ReadWholeFile(rx.Downloads("a.bin")), a);
    EXPECT_EQ(ReadWholeFile(rx.Downloads("have.bin")), have);
    EXPECT_EQ(ReadWholeFile(rx.Downloads("d.bin")), d);
    EXPECT_FALSE(QFile::exists(rx.Downloads("b.bin")));
    EXPECT_EQ(rx.engine->Receivers()[0].Letter, ReceiveLetter::Idle);

    // The sender: four rows for one user go as one batch; each row takes its own reply.
    ScriptedReceiver script("100 PARCELWISE WELCOME BATCH\r\r", {"1010", "402", "406", "1017"});
    EngineHarness tx(1, 1);
    tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(script.port())});
    QueueFile(tx, "a.bin", a);
    QueueFile(tx, "b.bin", PatternBytes(10, 7));
    QueueFile(tx, "have.bin", have);
    QueueFile(tx, "d.bin", d);
    tx.Start();
    ASSERT_TRUE(WaitFor([&] { return AllSettled(tx); }));
    EXPECT_EQ(script.connections, 1);
    EXPECT_EQ(script.batches, 1);
    EXPECT_EQ(script.requests.size(), 4);
    EXPECT_EQ(Row(tx, 0).status(), "S");
    EXPECT_EQ(Row(tx, 1).status(), "W");
    EXPECT_EQ(Row(tx, 1).statusText(), "Retry Wait Bad Login");
    EXPECT_EQ(Row(tx, 2).status(), "S");
    EXPECT_EQ(Row(tx, 3).status(), "S");
    EXPECT_TRUE(tx.LogHas("Successfully sent a.bin to bob"));
    EXPECT_TRUE(tx.LogHas("Bad Login to bob sending b.bin"));
    EXPECT_TRUE(tx.LogHas("Remote File Already Exists - have.bin sent to bob"));
    EXPECT_TRUE(tx.LogHas(" starting at 7 bytes to bob"));
    EXPECT_TRUE(tx.LogHas("Successfully sent d.bin to bob"));
    EXPECT_EQ(script.got["a.bin"], a);
    EXPECT_EQ(script.got["d.bin"], d.mid(7));
}

namespace {

// The retry of a batch of one.bin, two.bin and three.bin to bob cut in two.bin after `kept` of
// its bytes: the finished file is already there, the cut one resumes where it stopped, the last
// comes whole, and every row ends sent.
void ResendsTheRestWhole(EngineHarness &tx, EngineHarness &rx, int64_t kept, const std::array<QByteArray, 3> &files)
{
    tx.clock.advanceSeconds(31 * 60);
    tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return AllSettled(tx); }));
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(Row(tx, row).status(), "S") << row;
    EXPECT_TRUE(tx.LogHas("Remote File Already Exists - one.bin sent to bob"));
    EXPECT_TRUE(tx.LogHas(" starting at " + QByteArray::number(static_cast<qlonglong>(kept)) + " bytes to bob"));
    ASSERT_TRUE(WaitFor([&] { return rx.LogHas("alice successfully sent three.bin"); }));
    EXPECT_EQ(ReadWholeFile(rx.Downloads("one.bin")), files[0]);
    EXPECT_EQ(ReadWholeFile(rx.Downloads("two.bin")), files[1]);
    EXPECT_EQ(ReadWholeFile(rx.Downloads("three.bin")), files[2]);
}

// A batch cut in the middle of its second file, then sent again straight to the receiver; the
// gate counts the bytes on the wire, encrypted or not.
void CutBatchResumes(EncryptionSetting setting)
{
    EngineHarness rx(2, 0);
    rx.engine->Prefs.Encryption = setting;
    rx.AddUser({"alice", "pw1", "", "", "S", "", "4444"});
    rx.Start();
    const QByteArray one = PatternBytes(200003, 8), two = PatternBytes(300007, 9), three = PatternBytes(1001, 10);
    // The gate passes the batch, the first file and part of the second.
    Gate gate(rx.port, 20000 + one.size() + 100000);
    EngineHarness tx(1, 1);
    tx.engine->Prefs.Encryption = setting;
    tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(gate.port())});
    QueueFile(tx, "one.bin", one);
    QueueFile(tx, "two.bin", two);
    QueueFile(tx, "three.bin", three);
    tx.Start();
    // Part of the second file has arrived (written, or gathered for the next write).
    ASSERT_TRUE(WaitFor([&] {
        const ReceiveChannel &rc = rx.engine->Receivers()[0];
        return rx.LogHas("alice successfully sent one.bin") && rc.BytesReceived + rc.Buffer.size() > 50000;
    }));
    tx.engine->AbortAllSends();
    ASSERT_TRUE(WaitFor([&] { return rx.LogHas("alice partially sent "); }));
    // All three went over one connection, encrypted when both ends prefer it (each end pinned the
    // other's key).
    EXPECT_EQ(rx.engine->Log().ScreenText().count("Connect accepted from"), 1);
    const bool encrypted = setting != EncryptionSetting::Off;
    EXPECT_EQ(rx.engine->Trust().Pins().PinOf("alice").has_value(), encrypted);
    EXPECT_EQ(tx.engine->Trust().Pins().PinOf("bob").has_value(), encrypted);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(Row(tx, row).status(), "W") << row;
    const int64_t kept = FileLength(rx.Downloads("two.bin"));
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, two.size());
    EXPECT_EQ(ReadWholeFile(rx.Downloads("one.bin")), one);

    // The next attempt, straight to the receiver: the finished file is already there, the cut one
    // resumes where it stopped, the last comes whole.
    tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(rx.port)});
    ResendsTheRestWhole(tx, rx, kept, {one, two, three});
    EXPECT_EQ(rx.engine->Log().ScreenText().count("Connect accepted from"), 2);
}

} // namespace

TEST(BatchTransfer, ACutInTheMiddleOfABatchKeepsTheFinishedFilesAndResumesTheRest)
{
    CutBatchResumes(EncryptionSetting::Off);
}

TEST(BatchTransfer, ACutInTheMiddleOfAnEncryptedBatchResumesToo)
{
    CutBatchResumes(EncryptionSetting::Prefer);
}

TEST(BatchTransfer, TheDueRowsOfOneUserComeInTheSchedulersOrder)
{
    QueueModel model;
    const double now = 46000.5;
    const auto row = [&](const QByteArray &user, const QByteArray &status, const QByteArray &priority, double nextTry) {
        QueueItem item = QueueModel::MakeNewItem(user, "f", "/f", "", nextTry);
        item.field(QueueItem::Status) = status;
        item.field(QueueItem::Priority) = priority;
        model.AddItem(item);
    };
    row("bob", "Q", "3", now);           // 0
    row("carol", "Q", "1", now);         // 1: another user
    row("bob", "W", "1", now - 0.01);    // 2: due, first by priority
    row("bob", "W", "2", now + 0.01);    // 3: not yet due
    row("bob", "H", "1", now);           // 4: held
    row("bob", "Q", "3", now);           // 5
    row("bobby", "Q", "1", now);         // 6: not the same name
    EXPECT_EQ(model.DueRowsOf("bob", now, 10), (std::vector<int>{2, 0, 5}));
    EXPECT_EQ(model.DueRowsOf("bob", now, 2), (std::vector<int>{2, 0}));
    EXPECT_EQ(model.PickNextItem(now), 1);
}

// A disk that fills up in the middle of a batch ends the connection with a reset: no file the
// receiver could not keep counts as delivered, each keeps what reached the disk, and the next
// attempt resumes every one of them to its whole content, plain or encrypted.
TEST(BatchTransfer, AFullDiskInTheMiddleOfABatchLeavesEveryFileResumable)
{
    for (const EncryptionSetting setting : {EncryptionSetting::Off, EncryptionSetting::Prefer}) {
        SCOPED_TRACE(setting == EncryptionSetting::Off ? "plain" : "encrypted");
        EngineHarness rx(2, 0);
        rx.engine->Prefs.Encryption = setting;
        rx.AddUser({"alice", "pw1", "", "", "S", "", "4444"});
        rx.Start();
        EngineHarness tx(1, 1);
        tx.engine->Prefs.Encryption = setting;
        tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(rx.port)});
        const QByteArray one = PatternBytes(50001, 1), two = PatternBytes(900007, 2), three = PatternBytes(1001, 3);
        QueueFile(tx, "one.bin", one);
        QueueFile(tx, "two.bin", two);
        QueueFile(tx, "three.bin", three);
        {
            FileSizeLimit full(300000);
            ASSERT_TRUE(full.active());
            tx.Start();
            ASSERT_TRUE(WaitFor([&] { return AllSettled(tx); }));
            ASSERT_TRUE(WaitFor([&] { return rx.LogHas("Cannot Create File two.bin"); }));
        }
        EXPECT_EQ(rx.engine->Log().ScreenText().count("Connect accepted from"), 1);
        EXPECT_TRUE(rx.LogHas("alice successfully sent one.bin"));
        EXPECT_FALSE(rx.LogHas("successfully sent two.bin"));
        EXPECT_FALSE(rx.LogHas("successfully sent three.bin"));
        for (int row = 0; row < 3; ++row)
            EXPECT_EQ(Row(tx, row).status(), "W") << row;
        const int64_t kept = FileLength(rx.Downloads("two.bin"));
        EXPECT_LE(kept, 300000);
        EXPECT_EQ(ReadWholeFile(rx.Downloads("two.bin")), two.left(kept));
        EXPECT_LE(FileLength(rx.Downloads("three.bin")), 0);

        ResendsTheRestWhole(tx, rx, kept, {one, two, three});
    }
}
