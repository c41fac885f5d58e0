// Two engines in one process exchange files over loopback; scripted receivers show how the
// send channel classifies every ending.
#include "../core/FileSizeLimit.h"
#include "EngineHarness.h"
#include "core/FileOps.h"
#include "transfer/Connection.h"
#include "transfer/Protocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QTcpServer>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>

namespace {

struct Pair {
    EngineHarness rx{2, 0};
    EngineHarness tx{1, 2};
    Pair()
    {
        rx.AddUser({"alice", "pw1", "", "", "S", "", "4444"});
        tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(rx.port)});
        rx.Start();
        tx.Start();
    }
    QString Queue(const QByteArray &content, const QByteArray &name = "doc.bin", int priority = 3,
                  const QByteArray &user = "bob")
    {
        tx.dir.write(QString::fromLatin1(name), content);
        QueueItem item = QueueModel::MakeNewItem(user, name, tx.dir.file(QString::fromLatin1(name)).toLocal8Bit(),
                                                 "hello", tx.clock.nowSerial());
        item.field(QueueItem::Priority) = QByteArray::number(priority);
        tx.engine->AddQueueItems({item});
        return tx.dir.file(QString::fromLatin1(name));
    }
    QueueItem Row(int row = 0) const { return tx.engine->Queue().item(row); }
    bool RowSettled(int row = 0) const { return Row(row).status() != "B"; }
};

// A receiver that follows a script: greeting, then a reply, then it reads and keeps quiet.
struct ScriptedReceiver {
    explicit ScriptedReceiver(QByteArray greeting, QByteArray reply = {}, bool closeAfterReply = false)
        : greeting_(std::move(greeting)), reply_(std::move(reply))
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, closeAfterReply] {
            QTcpSocket *s = server.nextPendingConnection();
            socket = s;
            // Unread data stays in the network's buffers, not in an ever-growing one of ours.
            s->setReadBufferSize(64 * 1024);
            s->write(greeting_);
            QObject::connect(s, &QTcpSocket::readyRead, [this, s, closeAfterReply] {
                if (holdBack && replied)
                    return;
                received += s->readAll();
                if (!replied && received.contains("\r\r") && !reply_.isEmpty()) {
                    replied = true;
                    s->write(reply_);
                    if (closeAfterReply)
                        s->disconnectFromHost();
                }
            });
        });
    }
    int port() const { return server.serverPort(); }
    // Reads again after holding back; what waited is counted in received.
    void ReadOn()
    {
        holdBack = false;
        if (socket)
            received += socket->readAll();
    }
    QTcpServer server;
    QPointer<QTcpSocket> socket;
    QByteArray received;
    bool replied = false;
    bool holdBack = false; // after the reply, leave the data unread

private:
    QByteArray greeting_, reply_;
};

// Sits between a sender and a receiver and passes the sender's first `limit` bytes of each
// connection on, then holds the rest until opened: a transfer stopped mid-file at a known point,
// however fast the two sides are. The receiver's side passes freely; a close on one side closes
// the other.
struct GateProxy {
    GateProxy(int targetPort, qint64 limit) : limit_(limit)
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, targetPort] {
            QTcpSocket *from = server.nextPendingConnection();
            auto *to = new QTcpSocket(from);
            auto passed = std::make_shared<qint64>(0);
            from->setReadBufferSize(64 * 1024);
            to->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(targetPort));
            auto forward = [this, from, to, passed] {
                if (to->state() != QAbstractSocket::ConnectedState)
                    return;
                qint64 room = open ? from->bytesAvailable() : std::max<qint64>(0, limit_ - *passed);
                const QByteArray bytes = from->read(std::min(room, from->bytesAvailable()));
                *passed += bytes.size();
                to->write(bytes);
            };
            QObject::connect(to, &QTcpSocket::connected, forward);
            QObject::connect(from, &QTcpSocket::readyRead, forward);
            if (opener)
                QObject::connect(opener.get(), &QObject::destroyed, from, forward);
            QObject::connect(to, &QTcpSocket::readyRead, [from, to] { from->write(to->readAll()); });
            QObject::connect(from, &QTcpSocket::disconnected, to, &QTcpSocket::disconnectFromHost);
            QObject::connect(to, &QTcpSocket::disconnected, from, &QTcpSocket::disconnectFromHost);
        });
    }
    int port() const { return server.serverPort(); }
    // From now on everything passes, the held bytes first.
    void Open()
    {
        open = true;
        opener.reset();
    }
    QTcpServer server;
    bool open = false;
    std::unique_ptr<QObject> opener = std::make_unique<QObject>();

private:
    qint64 limit_;
};

// A long link between a sender and a receiver: it takes everything the sender sends at once
// (so the sender soon has every byte out of its hands) but lets only the first `limit` bytes of
// file data through to the receiver; the rest stays on the way. The receiver's ending reaches
// the sender as it was made, a reset as a reset and a close as a close.
struct LinkInFlight {
    LinkInFlight(int targetPort, qint64 limit)
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, targetPort, limit] {
            QTcpSocket *from = server.nextPendingConnection();
            auto *to = new Connection(ConnectionKind::Send, from);
            auto pending = std::make_shared<QByteArray>();
            auto replied = std::make_shared<bool>(false);
            auto passed = std::make_shared<qint64>(0);
            auto forward = [=, this] {
                *pending += from->readAll();
                if (!to->IsConnected())
                    return;
                // Control messages pass whole; of the file data only the first `limit` bytes.
                const qint64 room = *replied ? std::max<qint64>(0, limit - *passed) : pending->size();
                const QByteArray bytes = pending->left(room);
                pending->remove(0, bytes.size());
                if (*replied)
                    *passed += bytes.size();
                held = pending->size();
                to->Write(bytes);
            };
            QObject::connect(to, &Connection::Connected, forward);
            QObject::connect(from, &QTcpSocket::readyRead, forward);
            QObject::connect(to, &Connection::ReadyRead, [=] {
                const QByteArray back = to->ReadAll();
                if (back.startsWith("101"))
                    *replied = true;
                from->write(back);
            });
            QObject::connect(to, &Connection::Closed, from, [=, this] {
                if (to->PeerReset()) {
                    resets++;
                    const linger reset{1, 0};
                    setsockopt(static_cast<int>(from->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    from->abort();
                } else {
                    from->disconnectFromHost();
                }
            });
            to->ConnectTo(QStringLiteral("127.0.0.1"), static_cast<quint16>(targetPort));
        });
    }
    int port() const { return server.serverPort(); }
    QTcpServer server;
    qint64 held = 0;  // file data on the way, never to arrive
    int resets = 0;   // receiver endings that were resets
};

} // namespace

TEST(Send, FileTravelsWholeAndRowBecomesSent)
{
    Pair p;
    const QByteArray data = PatternBytes(300001, 11);
    p.Queue(data);
    p.tx.engine->QueueTick();
    EXPECT_EQ(p.Row().status(), "B");
    EXPECT_EQ(p.Row().channel(), "0");
    ASSERT_TRUE(WaitFor([&] { return p.RowSettled(); }));
    EXPECT_EQ(p.Row().status(), "S");
    EXPECT_EQ(p.Row().statusText(), "Sent");
    EXPECT_EQ(p.Row().tries(), "1");
    EXPECT_EQ(p.Row().channel(), "");
    EXPECT_TRUE(p.tx.LogHas("Sending file " + p.Row().filePath() + " starting at 0 bytes to bob"));
    EXPECT_TRUE(p.tx.LogHas("Successfully sent doc.bin to bob"));
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent doc.bin"); }));
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("doc.bin")), data);
    EXPECT_TRUE(p.rx.engine->Log().ReceivedMessages().contains("hello"));
    EXPECT_EQ(p.tx.engine->Senders()[0].Letter, SendLetter::Idle);
}

TEST(Send, CutTransferResumesOnTheNextAttempt)
{
    Pair p;
    GateProxy gate(p.rx.port, 300000);
    p.tx.engine->Users.clear();
    p.tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(gate.port())});
    const QByteArray data = PatternBytes(8 * 1024 * 1024 + 17, 5);
    p.Queue(data);
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.rx.engine->Receivers()[0].BytesReceived > 200000; }));
    p.tx.engine->AbortAllSends();
    gate.Open();
    EXPECT_EQ(p.Row().status(), "W");
    EXPECT_EQ(p.Row().statusText(), "Retry Wait Abort");
    EXPECT_TRUE(p.tx.LogHas("Abort Comms - doc.bin"));
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice partially sent "); }));
    const int64_t kept = FileLength(p.rx.Downloads("doc.bin"));
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, data.size());
    // Not due before thirty minutes have passed.
    p.tx.clock.advanceSeconds(29 * 60);
    p.tx.engine->QueueTick();
    EXPECT_EQ(p.Row().status(), "W");
    p.tx.clock.advanceSeconds(61);
    p.tx.engine->QueueTick();
    EXPECT_EQ(p.Row().status(), "B");
    ASSERT_TRUE(WaitFor([&] { return p.RowSettled(); }, 30000));
    EXPECT_EQ(p.Row().status(), "S");
    EXPECT_EQ(p.Row().tries(), "2");
    EXPECT_TRUE(p.tx.LogHas(" starting at " + QByteArray::number(static_cast<qlonglong>(kept)) + " bytes to bob"));
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent doc.bin"); }));
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("doc.bin")), data);
}

TEST(Send, RefusalsAndFailuresAreClassified)
{
    struct Case {
        const char *label;
        std::function<void(Pair &)> arrange;
        QByteArray status, statusText, logLine;
        bool callsTheReceiver = false;
    };
    const auto message = [](QByteArray text) {
        return [text](Pair &p) {
            QueueItem item = p.Row();
            item.field(QueueItem::Message) = text;
            p.tx.engine->Queue().setItem(0, item);
        };
    };
    const Case cases[] = {
        {"wrong password", [](Pair &p) { p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "nope", "S", "127.0.0.1", QByteArray::number(p.rx.port)}); },
         "W", "Retry Wait Bad Login", "Bad Login to bob sending doc.bin", true},
        // The send path reads every type letter but "D" as static.
        {"type d reads as static", [](Pair &p) { p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "d", "127.0.0.1", QByteArray::number(p.rx.port)}); },
         "S", "Sent", "Successfully sent doc.bin to bob", true},
        {"already there", [](Pair &p) { p.rx.dir.write("Parcelwise_Downloads/doc.bin", PatternBytes(5000, 2)); },
         "S", "Sent", "Remote File Already Exists - doc.bin sent to bob", true},
        {"longest message", message(QByteArray(Protocol::MaxMessageSize, 'm')),
         "S", "Sent", "Successfully sent doc.bin to bob", true},
        // A row from before the loader's limit, whose request no receiver would take.
        {"request over the cap", message(QByteArray(40000, 'm')),
         "E", "Error: Request Too Long", "File Request Too Long to bob sending doc.bin"},
        {"nothing listening", [](Pair &p) { p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(FreeLoopbackPort())}); },
         "W", "Retry Wait 10061", "Connection refused to bob sending doc.bin"},
        {"missing file", [](Pair &p) { QFile::remove(p.tx.dir.file("doc.bin")); },
         "E", "Error: File Missing", "File not found - "},
        {"empty file", [](Pair &p) { p.tx.dir.write("doc.bin", ""); },
         "E", "Error: File Error", "Cannot Open File - "},
        {"user deleted", [](Pair &p) { p.tx.engine->Users.clear(); },
         "E", "Error: User Deleted", "User not found - bob"},
        {"no address", [](Pair &p) { p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "S", "", "4444"}); },
         "W", "Retry Wait No Address", "Cannot retrieve IP for bob"},
        {"dynamic address", [](Pair &p) { p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "D", "http://127.0.0.1:" + QByteArray::number(FreeLoopbackPort()) + "/page.html", "4444"}); },
         "W", "Retry Wait No Address", "Cannot retrieve IP for bob"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Pair p;
        const QByteArray data = PatternBytes(5000, 2);
        p.Queue(data);
        c.arrange(p);
        const double before = p.tx.clock.nowSerial();
        p.tx.engine->QueueTick();
        ASSERT_TRUE(WaitFor([&] { return p.RowSettled(); }));
        EXPECT_EQ(p.Row().status(), c.status);
        EXPECT_EQ(p.Row().statusText(), c.statusText);
        EXPECT_TRUE(p.tx.LogHas(c.logLine));
        EXPECT_EQ(p.rx.LogHas("Connect accepted from"), c.callsTheReceiver);
        EXPECT_EQ(p.Row().tries(), "1");
        if (c.status == "W") {
            double next = 0;
            ASSERT_TRUE(ParseDateSerial(p.Row().nextTry(), next));
            EXPECT_NEAR((next - before) * 1440.0, 30.0, 0.01);
        }
        EXPECT_EQ(p.tx.engine->Senders()[0].Letter, SendLetter::Idle);
    }
}

// A send to a dynamic address waits for the lookup of its slot; only the result of the slot's
// current lookup counts, and only while the slot still waits for it.
// A lookup's result as the lookup control reports it: the address, or no address on the page.
static LookupResult Result(quint64 ticket, std::optional<PageEndpoint> endpoint)
{
    LookupResult result;
    result.Ticket = ticket;
    result.Endpoint = endpoint;
    result.Failure = endpoint ? LookupFailure::None : LookupFailure::NoAddress;
    return result;
}

TEST(Send, DynamicAddressWaitsForItsOwnLookup)
{
    Pair p;
    p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "D", "http://127.0.0.1:1/bob.html", "4444"});
    const QByteArray data = PatternBytes(5000, 6);
    p.Queue(data);
    p.tx.engine->QueueTick();
    const SendChannel &sc = p.tx.engine->Senders()[0];
    ASSERT_EQ(sc.State, SendState::Taken);
    ASSERT_NE(sc.LookupTicket, 0u);
    EXPECT_TRUE(p.tx.LogHas("Starting IP Check For bob"));
    const quint64 ticket = sc.LookupTicket;
    AddressLookup &lookup = p.tx.engine->Lookup();
    const PageEndpoint found{"127.0.0.1", p.rx.port};

    struct Ignored {
        const char *label;
        int channel;
        quint64 ticket;
    };
    for (const Ignored &c : {Ignored{"an earlier lookup of the slot", 0, ticket - 1},
                             Ignored{"a later ticket", 0, ticket + 1},
                             Ignored{"no ticket", 0, 0},
                             Ignored{"another slot", 1, ticket}}) {
        SCOPED_TRACE(c.label);
        emit lookup.Finished(c.channel, Result(c.ticket, found));
        EXPECT_EQ(sc.State, SendState::Taken);
        EXPECT_TRUE(sc.Host.isEmpty());
        EXPECT_EQ(p.Row().status(), "B");
    }

    // The slot's own result: connect to the address from the page and send.
    emit lookup.Finished(0, Result(ticket, found));
    EXPECT_EQ(sc.Port, p.rx.port);
    EXPECT_EQ(sc.Letter, SendLetter::Busy);
    ASSERT_TRUE(WaitFor([&] { return p.RowSettled(); }));
    EXPECT_EQ(p.Row().status(), "S");
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent doc.bin"); }));
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("doc.bin")), data);
    // Once the slot has moved on, the same result again changes nothing.
    emit lookup.Finished(0, Result(ticket, std::nullopt));
    EXPECT_EQ(p.Row().status(), "S");
    EXPECT_FALSE(p.tx.LogHas("Cannot retrieve IP for bob"));
}

TEST(Send, ShutdownCutsTheLookupOffAndIgnoresItsResult)
{
    Pair p;
    p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "D", "http://127.0.0.1:1/bob.html", "4444"});
    p.Queue(PatternBytes(100, 1));
    p.tx.engine->QueueTick();
    const quint64 ticket = p.tx.engine->Senders()[0].LookupTicket;
    ASSERT_NE(ticket, 0u);
    p.tx.engine->BeginShutdown();
    EXPECT_TRUE(p.tx.LogHas("Closing Dynamic IP URL Check  0"));
    EXPECT_EQ(p.Row().statusText(), "Retry Wait Abort");
    emit p.tx.engine->Lookup().Finished(0, Result(ticket, PageEndpoint{"127.0.0.1", p.rx.port}));
    EXPECT_EQ(p.tx.engine->Senders()[0].Letter, SendLetter::Idle);
    EXPECT_EQ(p.Row().statusText(), "Retry Wait Abort");
}

TEST(Send, PriorityThenPositionDecides)
{
    Pair p;
    p.tx.engine->Users.clear(); // every start ends at once, so one tick shows one choice
    p.Queue("a", "low.txt", 3);
    p.Queue("b", "first2.txt", 2);
    p.Queue("c", "top.txt", 1);
    p.Queue("d", "second2.txt", 2);
    const char *order[] = {"top.txt", "first2.txt", "second2.txt", "low.txt"};
    for (const char *name : order) {
        p.tx.engine->QueueTick();
        bool found = false;
        for (int row = 0; row < 4; ++row)
            found = found || (p.Row(row).fileName() == name && p.Row(row).status() == "E");
        EXPECT_TRUE(found) << name;
    }
}

TEST(Send, SilenceWatchdogIsStrictlyOver180Seconds)
{
    enum class Phase { WaitingForReply, SendingData, WaitingForClose };
    for (const Phase phase : {Phase::WaitingForReply, Phase::SendingData, Phase::WaitingForClose}) {
        SCOPED_TRACE(phase == Phase::WaitingForReply ? "030 waiting for the reply"
                     : phase == Phase::SendingData   ? "090 sending to a receiver that stalls"
                                                     : "095 waiting for the receiver's close");
        ScriptedReceiver peer("100 PARCELWISE WELCOME\r\r", phase == Phase::WaitingForReply ? QByteArray() : "1010\r\r");
        // The stalling receiver holds back: what it has not read fills the buffers until the
        // sender can hand over no more pieces.
        peer.holdBack = phase == Phase::SendingData;
        Pair p;
        p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(peer.port())});
        p.Queue(PatternBytes(phase == Phase::SendingData ? 64 * 1024 * 1024 : 3000, 9));
        p.tx.engine->QueueTick();
        const SendChannel &sc = p.tx.engine->Senders()[0];
        const SendState wanted = phase == Phase::WaitingForReply ? SendState::Requested
                                 : phase == Phase::SendingData   ? SendState::Sending
                                                                 : SendState::AllSent;
        ASSERT_TRUE(WaitFor([&] { return sc.State == wanted; }));
        if (phase == Phase::SendingData) {
            // Time passes while the receiver reads nothing; then it reads again and pieces flow:
            // the silence is counted from the last piece handed over, not from the reply.
            p.tx.clock.advanceSeconds(150);
            p.tx.engine->QueueTick();
            EXPECT_EQ(p.Row().status(), "B");
            const int64_t before = sc.BytesSent;
            peer.ReadOn();
            ASSERT_TRUE(WaitFor([&] { return sc.BytesSent > before + 1024 * 1024; }, 20000));
            peer.holdBack = true;
        }
        p.tx.clock.advanceSeconds(180);
        p.tx.engine->QueueTick();
        EXPECT_EQ(p.Row().status(), "B");
        p.tx.clock.advanceSeconds(1);
        p.tx.engine->QueueTick();
        EXPECT_EQ(p.Row().status(), "W");
        EXPECT_EQ(p.Row().statusText(), "Retry Wait Timeout");
        EXPECT_TRUE(p.tx.LogHas("Timeout Sending doc.bin"));
    }
}

TEST(Send, AReceiverThatDripsBytesWithoutAnAnswerStillTimesOut)
{
    // Bytes that never make a greeting or a reply, or that come while the file goes out or after
    // it, are no answer: a peer dripping them must not hold the slot for ever.
    enum class Phase { WaitingForGreeting, WaitingForReply, WaitingForClose };
    for (const Phase phase : {Phase::WaitingForGreeting, Phase::WaitingForReply, Phase::WaitingForClose}) {
        SCOPED_TRACE(phase == Phase::WaitingForGreeting ? "020" : phase == Phase::WaitingForReply ? "030" : "095");
        ScriptedReceiver peer(phase == Phase::WaitingForGreeting ? "100 PARCEL" : "100 PARCELWISE WELCOME\r\r",
                              phase == Phase::WaitingForClose ? "1010\r\r" : QByteArray());
        Pair p;
        p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(peer.port())});
        p.Queue(PatternBytes(3000, 9));
        p.tx.engine->QueueTick();
        const SendChannel &sc = p.tx.engine->Senders()[0];
        const SendState wanted = phase == Phase::WaitingForGreeting ? SendState::Connecting
                                 : phase == Phase::WaitingForReply  ? SendState::Requested
                                                                    : SendState::AllSent;
        ASSERT_TRUE(WaitFor([&] { return sc.State == wanted && peer.socket; }));
        if (phase == Phase::WaitingForGreeting) {
            ASSERT_TRUE(WaitFor([&] { return sc.Buffer.size() == 10; }));
        }
        for (int drip = 0; drip < 3; ++drip) {
            p.tx.clock.advanceSeconds(60);
            const qsizetype before = sc.Buffer.size();
            peer.socket->write("x");
            ASSERT_TRUE(WaitFor([&] { return sc.Buffer.size() > before; }));
            p.tx.engine->QueueTick();
        }
        p.tx.clock.advanceSeconds(1);
        p.tx.engine->QueueTick();
        EXPECT_EQ(p.Row().statusText(), "Retry Wait Timeout");
    }
}

TEST(Send, ReceiverAnswersAreClassified)
{
    struct Case {
        QByteArray greeting, reply;
        QByteArray status, statusText;
    };
    const Case cases[] = {
        {"400 PARCELWISE BUSY\r\r", {}, "W", "Retry Wait Busy"},
        {"garbage\r\r", {}, "W", "Retry Wait Busy"},
        {"100 anything\r\r", "1015000\r\r", "S", "Sent"},        // offset equal to the size: nothing left
        {"100 PARCELWISE WELCOME\r\r", "1019999\r\r", "W", "Retry Wait Bad Offset"},
        {"100 PARCELWISE WELCOME\r\r", "101-5\r\r", "W", "Retry Wait Bad Offset"},
        {"100 PARCELWISE WELCOME\r\r", "401\r\r", "E", "Error: Bad Login"},
        {"100 PARCELWISE WELCOME\r\r", "404\r\r", "E", "Error: Empty File"},
        {"100 PARCELWISE WELCOME\r\r", "zzz\r\r", "E", "Error: zzz"},
        // The queue file's own separators and line breaks from the receiver stay out of the row.
        {"100 PARCELWISE WELCOME\r\r", QByteArray("\x02Q\x01\r\r"), "E", "Error: \\x02Q\\x01"},
        {"100 PARCELWISE WELCOME\r\r", "\r\r", "E", "Error: \\x0D\\x0D"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE((c.greeting + c.reply).toStdString());
        ScriptedReceiver peer(c.greeting, c.reply);
        Pair p;
        p.tx.engine->Users[0] = MakeUserRecord({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(peer.port())});
        p.Queue(PatternBytes(5000, 9));
        p.tx.engine->QueueTick();
        ASSERT_TRUE(WaitFor([&] { return p.RowSettled(); }));
        EXPECT_EQ(p.Row().status(), c.status);
        EXPECT_EQ(p.Row().statusText(), c.statusText);
        // The row is stored and read back as the one row it is.
        const std::vector<QueueItem> stored = DecodeQueueFile(EncodeQueueFile({p.Row()}), p.tx.clock.nowSerial());
        EXPECT_EQ(stored.size(), 1u);
        if (c.greeting.startsWith("400")) {
            EXPECT_TRUE(peer.received.isEmpty()); // no request after BUSY
        }
    }
}

TEST(Send, ShutdownDuringTransferAbortsAndKeepsTheQueue)
{
    Pair p;
    GateProxy gate(p.rx.port, 300000);
    p.tx.engine->Users.clear();
    p.tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(gate.port())});
    p.Queue(PatternBytes(16 * 1024 * 1024, 4));
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.rx.engine->Receivers()[0].BytesReceived > 100000; }));
    p.tx.engine->BeginShutdown();
    EXPECT_TRUE(p.tx.LogHas("Abort Comms - doc.bin"));
    EXPECT_EQ(p.Row().status(), "W");
    EXPECT_EQ(p.Row().statusText(), "Retry Wait Abort");
    const QByteArray stored = ReadWholeFile(p.tx.dir.file("Parcelwise_Queue"));
    EXPECT_TRUE(stored.startsWith("W\x01"));
    p.tx.engine->QuitTimerTick();
    EXPECT_TRUE(p.tx.engine->MayUnload);
    // After a restart the row is queued again and due at once.
    EngineHarness again(1, 1);
    Q_UNUSED(again);
    std::vector<QueueItem> loaded = DecodeQueueFile(stored, p.tx.clock.nowSerial());
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].status(), "Q");
    EXPECT_EQ(loaded[0].statusText(), "Queued");
}

TEST(Send, FileOver2GiBResumesAtA64BitOffset)
{
    // Sparse files keep this quick: only the tail beyond the receiver's copy travels.
    const qint64 base = (qint64(1) << 31) + 4096;
    const QByteArray tail = PatternBytes(70000, 21);
    Pair p;
    {
        QFile source(p.tx.dir.file("huge.bin"));
        ASSERT_TRUE(source.open(QIODevice::WriteOnly));
        ASSERT_TRUE(source.resize(base));
        ASSERT_TRUE(source.seek(base));
        ASSERT_EQ(source.write(tail), tail.size());
        QFile partial(p.rx.Downloads("huge.bin"));
        ASSERT_TRUE(partial.open(QIODevice::WriteOnly));
        ASSERT_TRUE(partial.resize(base));
    }
    QueueItem item = QueueModel::MakeNewItem("bob", "huge.bin", p.tx.dir.file("huge.bin").toLocal8Bit(), "",
                                             p.tx.clock.nowSerial());
    p.tx.engine->AddQueueItems({item});
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.RowSettled(); }));
    EXPECT_EQ(p.Row().status(), "S");
    const QByteArray total = QByteArray::number(base + tail.size());
    EXPECT_TRUE(p.rx.LogHas("alice is sending huge.bin - " + total + " bytes"));
    EXPECT_TRUE(p.rx.LogHas("alice is resuming huge.bin at " + QByteArray::number(base) + " bytes"));
    EXPECT_TRUE(p.tx.LogHas(" starting at " + QByteArray::number(base) + " bytes to bob"));
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent huge.bin"); }));
    QFile received(p.rx.Downloads("huge.bin"));
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.size(), base + tail.size());
    ASSERT_TRUE(received.seek(base));
    EXPECT_EQ(received.readAll(), tail);
}

TEST(Send, FullDiskAtTheReceiverIsRetriedAndResumed)
{
    Pair p;
    const QByteArray data = PatternBytes(400000, 8);
    p.Queue(data);
    {
        // The receiver's disk fills up after 100 kB.
        FileSizeLimit full(100000);
        ASSERT_TRUE(full.active());
        p.tx.engine->QueueTick();
        ASSERT_TRUE(WaitFor([&] { return p.RowSettled(); }));
    }
    EXPECT_EQ(p.Row().status(), "W");
    EXPECT_TRUE(p.rx.LogHas("Cannot Create File doc.bin"));
    EXPECT_FALSE(p.rx.LogHas("successfully sent"));
    const int64_t kept = FileLength(p.rx.Downloads("doc.bin"));
    EXPECT_LE(kept, 100000);
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("doc.bin")), data.left(kept));
    p.tx.engine->EnableSelectedItems({0});
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.RowSettled(); }));
    EXPECT_EQ(p.Row().status(), "S");
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent doc.bin"); }));
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("doc.bin")), data);
}

TEST(Send, ASentFileFreesItsChannelForTheNextRowAtOnce)
{
    Pair p;
    for (int k = 0; k < 3; ++k)
        p.Queue(PatternBytes(10000 + k, k), "small" + QByteArray::number(k) + ".bin");
    // One tick starts the first row; each row sent starts the next without another tick.
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.RowSettled(0) && p.RowSettled(1) && p.RowSettled(2) && p.Row(2).status() == "S"; }));
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(p.Row(k).status(), "S");
        const QString name = QStringLiteral("small%1.bin").arg(k);
        EXPECT_EQ(ReadWholeFile(p.rx.Downloads(name)), PatternBytes(10000 + k, k));
    }
}

TEST(Send, EveryIdleChannelTakesADueRowAtOnceAlsoAfterAFailure)
{
    Pair p; // two send channels
    ScriptedReceiver busy("400 PARCELWISE BUSY\r\r", {}, true);
    p.tx.AddUser({"carol", "x", "c", "pw", "S", "127.0.0.1", QByteArray::number(busy.port())});
    p.tx.dir.write("first.bin", "12345");
    QueueItem item = QueueModel::MakeNewItem("carol", "first.bin", p.tx.dir.file("first.bin").toLocal8Bit(), "",
                                             p.tx.clock.nowSerial());
    p.tx.engine->AddQueueItems({item});
    p.Queue("second", "second.bin");
    p.Queue("third", "third.bin");
    // One tick fills both channels.
    p.tx.engine->QueueTick();
    EXPECT_EQ(p.Row(0).status(), "B");
    EXPECT_EQ(p.Row(1).status(), "B");
    EXPECT_EQ(p.Row(2).status(), "Q");
    // The refused row waits for its retry time; its channel takes the third row without a tick.
    ASSERT_TRUE(WaitFor([&] { return p.Row(1).status() == "S" && p.Row(2).status() == "S"; }));
    EXPECT_EQ(p.Row(0).status(), "W");
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("third.bin")), QByteArray("third"));
}

// A receiver that ends its side before the file is whole (its silence watchdog, its shutdown)
// while the sender has already handed over every byte, the last of them still on their way,
// leaves the sender retrying, never counting the file as delivered.
TEST(Send, AReceiverEndingBeforeTheFileIsWholeIsNoDelivery)
{
    for (const bool shutdown : {false, true}) {
        SCOPED_TRACE(shutdown ? "the receiver shuts down" : "the receiver's watchdog");
        Pair p;
        // The link reads the reply in the clear.
        p.rx.engine->Prefs.Encryption = p.tx.engine->Prefs.Encryption = EncryptionSetting::Off;
        const qint64 limit = 200000;
        LinkInFlight link(p.rx.port, limit);
        p.tx.engine->Users.clear();
        p.tx.AddUser({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(link.port())});
        const QByteArray data = PatternBytes(1000003, 6);
        p.Queue(data);
        p.tx.engine->QueueTick();
        const auto taken = [&] {
            qint64 n = 0;
            for (const ReceiveChannel &rc : p.rx.engine->Receivers())
                n += rc.BytesReceived + rc.Buffer.size();
            return n;
        };
        // Every byte is out of the sender's hands; the receiver has all the link let through.
        ASSERT_TRUE(WaitFor([&] { return p.tx.engine->Senders()[0].State == SendState::AllSent && taken() == limit; }));
        EXPECT_GT(link.held, 0);
        if (shutdown) {
            p.rx.engine->BeginShutdown();
        } else {
            p.rx.clock.advanceSeconds(181);
            p.rx.engine->QueueTick();
            EXPECT_TRUE(p.rx.LogHas("Timeout receiving doc.bin"));
        }
        ASSERT_TRUE(WaitFor([&] { return p.RowSettled(); }));
        EXPECT_EQ(link.resets, 1);
        EXPECT_EQ(p.Row().status(), "W");
        EXPECT_FALSE(p.tx.LogHas("Successfully sent doc.bin"));
        const int64_t kept = FileLength(p.rx.Downloads("doc.bin"));
        EXPECT_LE(kept, limit);
        EXPECT_EQ(ReadWholeFile(p.rx.Downloads("doc.bin")), data.left(kept));
    }
}
