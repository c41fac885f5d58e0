// File data between two engines inside the kernel (sendfile() at the sender, splice() at the
// receiver) and through the copying path the engines fall back to when the kernel refuses, from
// the start or in the middle of a file: the bytes, the resume offsets and the counts must agree.
#include "../core/FileSizeLimit.h"
#include "EngineHarness.h"
#include "core/FileOps.h"
#include "transfer/ZeroCopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

namespace {

// A receiving and a sending engine on loopback.
struct KernelPair {
    EngineHarness rx{1, 0};
    EngineHarness tx{1, 1};
    KernelPair()
    {
        rx.AddUser({"alice", "pw1", "", "", "S", "", "4444"});
        tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(rx.port)});
        // The kernel moves the bytes of plain connections only.
        rx.engine->Prefs.Encryption = tx.engine->Prefs.Encryption = EncryptionSetting::Off;
        rx.Start();
        tx.Start();
    }
    void Queue(const QByteArray &name, const QByteArray &content)
    {
        tx.dir.write(QString::fromLatin1(name), content);
        tx.engine->AddQueueItems({QueueModel::MakeNewItem(
            "bob", name, tx.dir.file(QString::fromLatin1(name)).toLocal8Bit(), "", tx.clock.nowSerial())});
    }
    QueueItem Row() const { return tx.engine->Queue().item(0); }
};

// The kernel refuses nothing, or everything, or everything past a point in the file.
enum class Path { Kernel, RefusedFromTheStart, RefusedMidFile };

struct Refusals {
    explicit Refusals(Path path, int64_t sentAfter, int64_t splicedAfter)
    {
        const ZeroCopy::Tally now = ZeroCopy::Totals();
        if (path == Path::RefusedFromTheStart)
            ZeroCopy::RefuseBeyond(now.sent, now.spliced);
        else if (path == Path::RefusedMidFile)
            ZeroCopy::RefuseBeyond(now.sent + sentAfter, now.spliced + splicedAfter);
    }
    ~Refusals() { ZeroCopy::RefuseBeyond(-1, -1); }
};

const char *Label(Path path)
{
    return path == Path::Kernel ? "kernel" : path == Path::RefusedFromTheStart ? "refused from the start"
                                                                                 : "refused mid-file";
}

// A receiver that answers each request of one connection (single or a batch) with offset 0
// once all have come, and cuts (or stretches) the sender's source file to `cutTo` bytes at a
// chosen moment: before it answers, or when the first file data arrive. Given closeAt, it
// closes once that many bytes of file data have come.
struct CuttingReceiver {
    CuttingReceiver(QByteArray greeting, int requests, QString source, qint64 cutTo, bool cutOnData)
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [=, this] {
            QTcpSocket *s = server.nextPendingConnection();
            s->write(greeting);
            QObject::connect(s, &QTcpSocket::readyRead, [=, this] {
                QByteArray arrived = s->readAll();
                if (!replied) {
                    buffer += arrived;
                    // "BATCH n" and each request end with the terminator.
                    if (buffer.count("\r\r") < requests + (requests > 1 ? 1 : 0))
                        return;
                    if (!cutOnData)
                        cut = QFile::resize(source, cutTo);
                    replied = true;
                    s->write(QByteArray("1010\r\r").repeated(requests));
                    return;
                }
                if (cutOnData && !cut)
                    cut = QFile::resize(source, cutTo);
                taken += arrived;
                if (closeAt >= 0 && taken.size() >= closeAt)
                    s->disconnectFromHost();
            });
        });
    }
    int port() const { return server.serverPort(); }
    QTcpServer server;
    QByteArray buffer, taken;
    bool replied = false, cut = false;
    qint64 closeAt = -1;
};

} // namespace

TEST(KernelCopy, OddSizesResumedFromOddOffsetsArriveWholeOnEveryPath)
{
    struct Case {
        int64_t size, offset;
    };
    // No size or remainder is a multiple of a batch (64 KiB), the pipe (1 MiB) or a turn (8 MiB).
    const Case cases[] = {{1, 0}, {3 * 1048576 + 4097, 65537}, {9 * 1048576 + 12345, 1}};
    const int64_t sentAfter = 1048576 + 3, splicedAfter = 2 * 1048576 + 5;
    for (Path path : {Path::Kernel, Path::RefusedFromTheStart, Path::RefusedMidFile}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(Label(path)) + ", " + std::to_string(c.size) + " bytes from " +
                         std::to_string(c.offset));
            KernelPair p;
            const QByteArray data = PatternBytes(c.size, static_cast<int>(c.size % 97));
            if (c.offset > 0)
                p.rx.dir.write("Parcelwise_Downloads/odd.bin", data.left(c.offset));
            p.Queue("odd.bin", data);
            const ZeroCopy::Tally before = ZeroCopy::Totals();
            {
                Refusals refusals(path, sentAfter, splicedAfter);
                p.tx.engine->QueueTick();
                ASSERT_TRUE(WaitFor([&] { return p.Row().status() != "B"; }, 30000));
                ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent odd.bin"); }));
            }
            EXPECT_EQ(p.Row().status(), "S");
            EXPECT_TRUE(p.tx.LogHas(" starting at " + QByteArray::number(static_cast<qlonglong>(c.offset)) +
                                    " bytes to bob"));
            if (c.offset > 0) {
                EXPECT_TRUE(p.rx.LogHas("alice is resuming odd.bin at " +
                                        QByteArray::number(static_cast<qlonglong>(c.offset)) + " bytes"));
            }
            EXPECT_TRUE(ReadWholeFile(p.rx.Downloads("odd.bin")) == data);

            // What each side counts as moved by the kernel is what the kernel moved: the
            // sender's whole remainder (or exactly up to the refusal), the receiver's all but
            // what the socket had read before it could be spliced.
            const int64_t rest = c.size - c.offset;
            const int64_t sent = ZeroCopy::Totals().sent - before.sent;
            const int64_t spliced = ZeroCopy::Totals().spliced - before.spliced;
            switch (path) {
            case Path::Kernel:
                EXPECT_EQ(sent, rest);
                EXPECT_LE(spliced, rest);
                if (rest > 1024 * 1024) {
                    EXPECT_GT(spliced, rest / 2);
                }
                break;
            case Path::RefusedFromTheStart:
                EXPECT_EQ(sent, 0);
                EXPECT_EQ(spliced, 0);
                break;
            case Path::RefusedMidFile:
                EXPECT_EQ(sent, std::min(rest, sentAfter));
                EXPECT_LE(spliced, std::min(rest, splicedAfter));
                break;
            }
        }
    }
}

// A receiver whose disk fills up after the sender has handed over every byte must not leave the
// file counted as delivered: the sender retries and the next attempt resumes where the disk
// stopped, on either path.
TEST(KernelCopy, AFullDiskAfterEverythingWasHandedOverIsNoDelivery)
{
    for (Path path : {Path::Kernel, Path::RefusedFromTheStart}) {
        SCOPED_TRACE(Label(path));
        Refusals refusals(path, 0, 0);
        KernelPair p;
        const QByteArray data = PatternBytes(300001, 4);
        p.Queue("full.bin", data);
        {
            FileSizeLimit full(100000);
            ASSERT_TRUE(full.active());
            p.tx.engine->QueueTick();
            ASSERT_TRUE(WaitFor([&] { return p.Row().status() != "B"; }));
            ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("Cannot Create File full.bin"); }));
        }
        EXPECT_EQ(p.Row().status(), "W");
        const int64_t kept = FileLength(p.rx.Downloads("full.bin"));
        EXPECT_EQ(ReadWholeFile(p.rx.Downloads("full.bin")), data.left(kept));
        p.tx.engine->EnableSelectedItems({0});
        p.tx.engine->QueueTick();
        ASSERT_TRUE(WaitFor([&] { return p.Row().status() == "S"; }));
        ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent full.bin"); }));
        EXPECT_TRUE(p.tx.LogHas(" starting at " + QByteArray::number(static_cast<qlonglong>(kept)) + " bytes to bob"));
        EXPECT_TRUE(ReadWholeFile(p.rx.Downloads("full.bin")) == data);
    }
}

// A source file cut short after its size was announced cannot be sent whole: the attempt ends
// at once with the file's error, on the kernel path as on the copying one, and the receiver has
// taken no more than the file still held. In a batch only that file fails for good; the files
// after it are retried.
TEST(KernelCopy, ASourceFileThatShrinksWhileItIsSentEndsOnlyItself)
{
    for (Path path : {Path::Kernel, Path::RefusedFromTheStart}) {
        for (const bool batch : {false, true}) {
            SCOPED_TRACE(std::string(Label(path)) + (batch ? ", batch" : ", alone"));
            Refusals refusals(path, 0, 0);
            EngineHarness tx{1, 1};
            tx.engine->Prefs.Encryption = EncryptionSetting::Off;
            const QByteArray data = PatternBytes(32 * 1048576 + 7, 9);
            tx.dir.write("shrinks.bin", data);
            tx.dir.write("after.bin", "the next file");
            const QString source = tx.dir.file("shrinks.bin");
            // Alone, the file is cut before the receiver answers; in a batch, once its data flow.
            CuttingReceiver rx(batch ? "100 PARCELWISE WELCOME BATCH\r\r" : "100 PARCELWISE WELCOME\r\r",
                               batch ? 2 : 1, source, 100000, batch);
            tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(rx.port())});
            tx.Start();
            std::vector<QueueItem> rows{
                QueueModel::MakeNewItem("bob", "shrinks.bin", source.toLocal8Bit(), "", tx.clock.nowSerial())};
            if (batch)
                rows.push_back(QueueModel::MakeNewItem("bob", "after.bin", tx.dir.file("after.bin").toLocal8Bit(), "",
                                                       tx.clock.nowSerial()));
            tx.engine->AddQueueItems(rows);
            tx.engine->QueueTick();
            ASSERT_TRUE(WaitFor([&] { return tx.engine->Queue().BusyRows().empty(); }));
            EXPECT_TRUE(rx.cut);
            EXPECT_EQ(tx.engine->Queue().item(0).status(), "E");
            EXPECT_EQ(tx.engine->Queue().item(0).statusText(), "Error: File Error");
            EXPECT_TRUE(tx.LogHas("Cannot Open File - " + source.toLocal8Bit()));
            if (batch) {
                EXPECT_EQ(tx.engine->Queue().item(1).status(), "W");
                EXPECT_EQ(tx.engine->Queue().item(1).statusText(), "Retry Wait 102");
            }
            EXPECT_EQ(tx.engine->Senders()[0].Letter, SendLetter::Idle);
            if (!batch) {
                QCoreApplication::processEvents();
                EXPECT_LE(rx.taken.size(), 100000);
            }
            // Beyond the cut the kernel may have sent pages as the cut left them.
            const qsizetype kept = std::min<qsizetype>(rx.taken.size(), 100000);
            EXPECT_EQ(rx.taken.left(kept), data.left(kept));
        }
    }
}

// A file of a batch that grew after the batch announced its size goes as announced, as a file
// that grows while it is sent alone does: its first bytes, and the row is sent.
TEST(KernelCopy, AFileOfABatchThatGrewBeforeItsTurnGoesAsAnnounced)
{
    for (Path path : {Path::Kernel, Path::RefusedFromTheStart}) {
        SCOPED_TRACE(Label(path));
        Refusals refusals(path, 0, 0);
        EngineHarness tx{1, 1};
        tx.engine->Prefs.Encryption = EncryptionSetting::Off;
        const QByteArray first = PatternBytes(70001, 1), grows = PatternBytes(50003, 2);
        tx.dir.write("first.bin", first);
        tx.dir.write("grows.bin", grows);
        const QString source = tx.dir.file("grows.bin");
        CuttingReceiver rx("100 PARCELWISE WELCOME BATCH\r\r", 2, source, 90000, false);
        rx.closeAt = first.size() + grows.size();
        tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(rx.port())});
        tx.Start();
        tx.engine->AddQueueItems(
            {QueueModel::MakeNewItem("bob", "first.bin", tx.dir.file("first.bin").toLocal8Bit(), "", tx.clock.nowSerial()),
             QueueModel::MakeNewItem("bob", "grows.bin", source.toLocal8Bit(), "", tx.clock.nowSerial())});
        tx.engine->QueueTick();
        ASSERT_TRUE(WaitFor([&] { return tx.engine->Queue().BusyRows().empty(); }));
        EXPECT_TRUE(rx.cut);
        EXPECT_EQ(tx.engine->Queue().item(0).status(), "S");
        EXPECT_EQ(tx.engine->Queue().item(1).status(), "S");
        EXPECT_EQ(tx.engine->Queue().item(1).statusText(), "Sent");
        EXPECT_TRUE(rx.taken == first + grows);
    }
}
