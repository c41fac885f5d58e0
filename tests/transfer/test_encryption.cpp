// Encrypted transfers between installations over loopback: peers that speak only the plain
// protocol are served unchanged both ways, two installations encrypt and pin each other's keys,
// a key other than the pinned one and a plain peer in place of a pinned one are refused at both
// ends, pins survive a restart and can be forgotten, an interrupted encrypted transfer resumes,
// a batch follows the upgrade when the welcome offers one, and bad input during the upgrade ends
// only that one connection.
#include "EngineHarness.h"
#include "ScriptedReceiver.h"
#include "core/FileOps.h"
#include "core/Identity.h"
#include "transfer/BatchProtocol.h"
#include "transfer/Protocol.h"
#include "transfer/Upgrade.h"

#include <QFile>
#include <QPointer>
#include <QSet>
#include <QSslSocket>
#include <QTcpServer>
#include <gtest/gtest.h>
#include <memory>

namespace {

// Alice (tx) sends to Bob (rx). Both prefer encryption unless a test says otherwise.
struct Pair {
    EngineHarness rx{2, 0};
    EngineHarness tx{1, 1};
    Pair()
    {
        rx.AddUser({"alice", "pw1", "", "", "S", "", "4444"});
        PointAt(rx.port);
        rx.Start();
        tx.Start();
    }
    void PointAt(int port)
    {
        tx.engine->Users = {MakeUserRecord({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(port)})};
    }
    void Queue(const QByteArray &content, const QByteArray &name = "doc.bin")
    {
        tx.dir.write(QString::fromLatin1(name), content);
        const QueueItem item = QueueModel::MakeNewItem("bob", name, tx.dir.file(QString::fromLatin1(name)).toLocal8Bit(),
                                                       "hello", tx.clock.nowSerial());
        tx.engine->AddQueueItems({item});
    }
    // Queues the file, starts it and waits for the row's outcome.
    QueueItem SendOne(const QByteArray &content, const QByteArray &name = "doc.bin")
    {
        Queue(content, name);
        const int row = tx.engine->Queue().rowCount() - 1;
        tx.engine->QueueTick();
        WaitFor([&] { return tx.engine->Queue().item(row).status() != "B"; }, 20000);
        return tx.engine->Queue().item(row);
    }
    QByteArray RxKey() const { return rx.engine->Trust().Own().fingerprint; }
    QByteArray TxKey() const { return tx.engine->Trust().Own().fingerprint; }
};

// A receiver of the plain protocol only: greets without the offer, reads the request, accepts
// it from offset 0, takes the announced bytes and closes.
struct PlainReceiver {
    PlainReceiver()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket *s = server.nextPendingConnection();
            s->write(Protocol::WelcomeGreeting);
            QObject::connect(s, &QTcpSocket::readyRead, [this, s] {
                received += s->readAll();
                if (size < 0 && Protocol::HasTerminator(received)) {
                    check = Protocol::CheckRequest(received, [](const QByteArray &, const QByteArray &) { return true; });
                    received.clear();
                    size = check.code.isEmpty() ? check.announcedSize : 0;
                    s->write(check.code.isEmpty() ? QByteArray("1010\r\r") : check.code + "\r\r");
                }
                if (size >= 0 && received.size() >= size)
                    s->disconnectFromHost();
            });
        });
    }
    int port() const { return server.serverPort(); }
    QTcpServer server;
    QByteArray received;
    Protocol::RequestCheck check;
    qint64 size = -1;
};

// One end of an encrypted exchange with a key of its own, driven by hand: as the receiver it
// offers, answers STARTTLS and serves TLS; as the sender it asks for TLS and writes what it is
// told to inside.
struct TlsPeer {
    Identity key = ReadIdentityPem(MakeIdentityPem());
    QByteArray plainReceived, decrypted;
    bool encrypted = false;
    QPointer<QSslSocket> socket;

    QSslConfiguration Config() const
    {
        QSslConfiguration c = QSslConfiguration::defaultConfiguration();
        c.setProtocol(QSsl::TlsV1_3);
        c.setLocalCertificate(key.certificate);
        c.setPrivateKey(key.key);
        c.setPeerVerifyMode(QSslSocket::QueryPeer);
        return c;
    }
    void Wire(QSslSocket *s)
    {
        socket = s;
        QObject::connect(s, &QSslSocket::sslErrors, [s] { s->ignoreSslErrors(); });
        QObject::connect(s, &QSslSocket::encrypted, [this] { encrypted = true; });
        QObject::connect(s, &QSslSocket::readyRead, [this, s] {
            if (s->isEncrypted())
                decrypted += s->readAll();
            else
                plainReceived += s->readAll();
        });
    }
};

// An impostor receiver: it offers encryption and answers STARTTLS with a key of its own.
struct ImpostorReceiver : QTcpServer {
    TlsPeer peer;
    ImpostorReceiver()
    {
        listen(QHostAddress::LocalHost, 0);
    }
    void incomingConnection(qintptr descriptor) override
    {
        auto *s = new QSslSocket(this);
        s->setSocketDescriptor(descriptor);
        peer.Wire(s);
        s->setSslConfiguration(peer.Config());
        QObject::connect(s, &QSslSocket::readyRead, s, [this, s] {
            if (!s->isEncrypted() && peer.plainReceived == Upgrade::StartTlsCommand) {
                s->write(Upgrade::GoAheadReply);
                s->startServerEncryption();
            }
        });
        s->write(Upgrade::OfferingWelcome);
    }
};

// Connects to a receiver as a sender would, with a key of its own.
struct ImpostorSender {
    TlsPeer peer;
    explicit ImpostorSender(int port)
    {
        auto *s = new QSslSocket;
        peer.Wire(s);
        s->setSslConfiguration(peer.Config());
        s->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    }
    ~ImpostorSender() { delete peer.socket.data(); }
    // Greeting, STARTTLS, "110", handshake; false when any step did not come.
    bool Upgrade()
    {
        if (!WaitFor([&] { return peer.plainReceived.contains("\r\r"); }))
            return false;
        peer.plainReceived.clear();
        peer.socket->write(Upgrade::StartTlsCommand);
        if (!WaitFor([&] { return peer.plainReceived == Upgrade::GoAheadReply; }))
            return false;
        peer.socket->startClientEncryption();
        return WaitFor([&] { return peer.encrypted; });
    }
    QByteArray Ask(const QByteArray &request)
    {
        peer.socket->write(request);
        WaitFor([&] { return peer.decrypted.contains("\r\r"); });
        return peer.decrypted;
    }
};

// Passes bytes both ways between a sender and a receiver and keeps what went through.
struct RecordingRelay {
    explicit RecordingRelay(int targetPort)
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, targetPort] {
            QTcpSocket *from = server.nextPendingConnection();
            auto *to = new QTcpSocket(from);
            to->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(targetPort));
            auto forward = [this, from, to] {
                if (to->state() != QAbstractSocket::ConnectedState)
                    return;
                const QByteArray bytes = from->readAll();
                recorded += bytes;
                to->write(bytes);
            };
            QObject::connect(to, &QTcpSocket::connected, forward);
            QObject::connect(from, &QTcpSocket::readyRead, forward);
            QObject::connect(to, &QTcpSocket::readyRead, [this, from, to] {
                const QByteArray bytes = to->readAll();
                recorded += bytes;
                from->write(bytes);
            });
            QObject::connect(from, &QTcpSocket::disconnected, to, &QTcpSocket::disconnectFromHost);
            QObject::connect(to, &QTcpSocket::disconnected, from, &QTcpSocket::disconnectFromHost);
        });
    }
    int port() const { return server.serverPort(); }
    QTcpServer server;
    QByteArray recorded;
};

// True when the recording holds any 64-byte run of the file: such a run always contains one
// of the file's 32-byte blocks at a multiple of 32, so those blocks are looked for.
bool HoldsRunOf(const QByteArray &recording, const QByteArray &file)
{
    QSet<QByteArray> windows;
    for (qsizetype at = 0; at + 32 <= recording.size(); ++at)
        windows.insert(recording.mid(at, 32));
    for (qsizetype at = 0; at + 32 <= file.size(); at += 32)
        if (windows.contains(file.mid(at, 32)))
            return true;
    return false;
}

TEST(Encryption, PlainPeersAreServedUnchangedBothWays)
{
    Pair p;
    // A plain sender to an encrypting receiver: it reads the offer as a WELCOME and sends its
    // request in the clear.
    RawPeer sender(p.rx.port);
    EXPECT_EQ(sender.ReadMessage(), "100 PARCELWISE WELCOME STARTTLS BATCH\r\r");
    const QByteArray data = PatternBytes(40000, 3);
    sender.Send(Protocol::BuildRequest("12", "alice", "pw1", "in.bin", data.size(), ""));
    EXPECT_EQ(sender.ReadMessage(), "1010\r\r");
    sender.Send(data);
    EXPECT_TRUE(sender.WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent in.bin"); }));
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("in.bin")), data);
    EXPECT_FALSE(p.rx.engine->Trust().Pins().PinOf("alice"));

    // An encrypting sender to a plain receiver: no STARTTLS, the plain request, the file.
    PlainReceiver receiver;
    p.PointAt(receiver.port());
    const QueueItem row = p.SendOne(data, "out.bin");
    EXPECT_EQ(row.status(), "S");
    EXPECT_EQ(receiver.check.code, "");
    EXPECT_EQ(receiver.check.login, "alice");
    EXPECT_EQ(receiver.check.fileName, "out.bin");
    EXPECT_EQ(receiver.received, data);
    EXPECT_FALSE(p.tx.engine->Trust().Pins().PinOf("bob"));
}

TEST(Encryption, InstallationsEncryptPinEachOtherAndKeepThePinsOverARestart)
{
    const QByteArray data = PatternBytes(100000, 7);
    {
        // The same exchange with encryption off: the recording shows the file, so the check can fail.
        Pair p;
        p.tx.engine->Prefs.Encryption = EncryptionSetting::Off;
        RecordingRelay relay(p.rx.port);
        p.PointAt(relay.port());
        ASSERT_EQ(p.SendOne(data).status(), "S");
        EXPECT_TRUE(HoldsRunOf(relay.recorded, data));
    }
    Pair p;
    RecordingRelay relay(p.rx.port);
    p.PointAt(relay.port());
    ASSERT_EQ(p.SendOne(data).status(), "S");
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent doc.bin"); }));
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("doc.bin")), data);
    EXPECT_FALSE(HoldsRunOf(relay.recorded, data));
    EXPECT_TRUE(relay.recorded.startsWith("100 PARCELWISE WELCOME STARTTLS\r\rSTARTTLS\r\r110 GO AHEAD\r\r") ||
                relay.recorded.contains("STARTTLS\r\r"));
    EXPECT_FALSE(relay.recorded.contains("hello"));

    // Each end pinned the other's key.
    EXPECT_EQ(p.tx.engine->Trust().Pins().PinOf("bob"), p.RxKey());
    EXPECT_EQ(p.rx.engine->Trust().Pins().PinOf("alice"), p.TxKey());
    EXPECT_TRUE(p.tx.LogHas("Pinned the key of bob: " + GroupedFingerprint(p.RxKey())));
    EXPECT_TRUE(p.rx.LogHas("Pinned the key of alice: " + GroupedFingerprint(p.TxKey())));

    // A restart keeps the own key and the pins.
    const QByteArray txKey = p.TxKey();
    p.tx.engine.reset();
    Engine again(p.tx.dir.path(), p.tx.clock, p.tx.prompt);
    again.InitGlobals();
    EXPECT_EQ(again.Trust().Own().fingerprint, txKey);
    EXPECT_EQ(again.Trust().Pins().PinOf("bob"), p.RxKey());
}

TEST(Encryption, AnotherKeyIsRefusedAtBothEndsOncePinned)
{
    Pair p;
    ASSERT_EQ(p.SendOne(PatternBytes(5000, 1), "first.bin").status(), "S");
    ASSERT_TRUE(p.rx.engine->Trust().Pins().PinOf("alice").has_value());

    // In place of the receiver, one that shows its own key: the sender stops before its request.
    ImpostorReceiver impostor;
    p.PointAt(impostor.serverPort());
    const QueueItem row = p.SendOne(PatternBytes(5000, 2), "second.bin");
    EXPECT_EQ(row.status(), "E");
    EXPECT_EQ(row.statusText(), "Error: Peer Key Changed");
    EXPECT_TRUE(p.tx.LogHas("Peer Key Changed for bob: pinned " + GroupedFingerprint(p.RxKey()) + ", offered " +
                            GroupedFingerprint(impostor.peer.key.fingerprint)));
    EXPECT_EQ(impostor.peer.plainReceived, Upgrade::StartTlsCommand);
    Pump(100);
    EXPECT_TRUE(impostor.peer.decrypted.isEmpty()); // no request reached it
    EXPECT_EQ(p.tx.engine->Trust().Pins().PinOf("bob"), p.RxKey());

    // In place of the sender, one with the right login but its own key: "402".
    ImpostorSender sender(p.rx.port);
    ASSERT_TRUE(sender.Upgrade());
    EXPECT_EQ(sender.Ask(Protocol::BuildRequest("12", "alice", "pw1", "third.bin", 10, "")), "402\r\r");
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("Incorrect Login from 127.0.0.1"); }));
    EXPECT_TRUE(p.rx.LogHas("Refused key for alice: pinned " + GroupedFingerprint(p.TxKey()) + ", offered " +
                            GroupedFingerprint(sender.peer.key.fingerprint)));
    EXPECT_FALSE(QFile::exists(p.rx.Downloads("third.bin")));
    EXPECT_EQ(p.rx.engine->Trust().Pins().PinOf("alice"), p.TxKey());
}

TEST(Encryption, APlainPeerInPlaceOfAPinnedOneIsRefused)
{
    Pair p;
    ASSERT_EQ(p.SendOne(PatternBytes(5000, 1), "first.bin").status(), "S");

    PlainReceiver receiver;
    p.PointAt(receiver.port());
    const QueueItem row = p.SendOne(PatternBytes(5000, 2), "second.bin");
    EXPECT_EQ(row.status(), "E");
    EXPECT_EQ(row.statusText(), "Error: Peer Not Encrypted");
    EXPECT_TRUE(p.tx.LogHas("Peer Not Encrypted - bob"));
    EXPECT_EQ(receiver.size, -1); // no request was sent

    RawPeer sender(p.rx.port);
    sender.ReadMessage();
    sender.Send(Protocol::BuildRequest("12", "alice", "pw1", "plain.bin", 10, ""));
    EXPECT_EQ(sender.ReadMessage(), "402\r\r");
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("Refused unencrypted request from alice"); }));
    EXPECT_FALSE(QFile::exists(p.rx.Downloads("plain.bin")));
}

TEST(Encryption, RequireRefusesEveryPlainExchange)
{
    Pair p;
    p.tx.engine->Prefs.Encryption = EncryptionSetting::Require;
    p.rx.engine->Prefs.Encryption = EncryptionSetting::Require;
    PlainReceiver receiver;
    p.PointAt(receiver.port());
    EXPECT_EQ(p.SendOne(PatternBytes(500, 2)).statusText(), "Error: Peer Not Encrypted");
    RawPeer sender(p.rx.port);
    sender.ReadMessage();
    sender.Send(Protocol::BuildRequest("12", "alice", "pw1", "plain.bin", 10, ""));
    EXPECT_EQ(sender.ReadMessage(), "402\r\r");
    EXPECT_TRUE(WaitFor([&] { return p.rx.LogHas("Refused unencrypted request from alice"); }));
}

TEST(Encryption, ForgetKeyLetsTheNextTransferPinAgain)
{
    Pair p;
    // The key pinned earlier is not the one the receiver shows now (it was set up again).
    const QByteArray old(64, 'C');
    p.tx.engine->Trust().Pin("bob", old);
    EXPECT_EQ(p.SendOne(PatternBytes(5000, 1), "first.bin").statusText(), "Error: Peer Key Changed");
    EXPECT_FALSE(QFile::exists(p.rx.Downloads("first.bin")));

    ASSERT_TRUE(p.tx.engine->Trust().Forget("bob"));
    EXPECT_EQ(p.SendOne(PatternBytes(5000, 1), "second.bin").status(), "S");
    EXPECT_EQ(p.tx.engine->Trust().Pins().PinOf("bob"), p.RxKey());
}

TEST(Encryption, InterruptedEncryptedTransferResumesWhereItStopped)
{
    Pair p;
    // Passes the first bytes of each connection, then holds the rest until opened.
    struct Gate {
        QTcpServer server;
        bool open = false;
        qint64 limit = 400000;
        std::unique_ptr<QObject> opener = std::make_unique<QObject>(); // its end lets the held bytes go
    } gate;
    gate.server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&gate.server, &QTcpServer::newConnection, [&] {
        QTcpSocket *from = gate.server.nextPendingConnection();
        auto *to = new QTcpSocket(from);
        auto passed = std::make_shared<qint64>(0);
        from->setReadBufferSize(64 * 1024);
        to->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(p.rx.port));
        auto forward = [&gate, from, to, passed] {
            if (to->state() != QAbstractSocket::ConnectedState)
                return;
            const qint64 room = gate.open ? from->bytesAvailable() : std::max<qint64>(0, gate.limit - *passed);
            const QByteArray bytes = from->read(std::min(room, from->bytesAvailable()));
            *passed += bytes.size();
            to->write(bytes);
        };
        QObject::connect(to, &QTcpSocket::connected, forward);
        QObject::connect(from, &QTcpSocket::readyRead, forward);
        if (gate.opener)
            QObject::connect(gate.opener.get(), &QObject::destroyed, from, forward);
        QObject::connect(to, &QTcpSocket::readyRead, [from, to] { from->write(to->readAll()); });
        QObject::connect(from, &QTcpSocket::disconnected, to, &QTcpSocket::disconnectFromHost);
        QObject::connect(to, &QTcpSocket::disconnected, from, &QTcpSocket::disconnectFromHost);
    });
    p.PointAt(gate.server.serverPort());
    // Larger than what the network's buffers hold in flight when the sender stops.
    const QByteArray data = PatternBytes(24 * 1024 * 1024 + 5, 5);
    p.Queue(data);
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.rx.engine->Receivers()[0].BytesReceived > 100000; }));
    p.tx.engine->AbortAllSends();
    gate.open = true;
    gate.opener.reset();
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice partially sent "); }))
        << p.rx.engine->Log().ScreenText().constData() << p.tx.engine->Log().ScreenText().constData();
    const int64_t kept = FileLength(p.rx.Downloads("doc.bin"));
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, data.size());
    p.tx.clock.advanceSeconds(31 * 60);
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.tx.engine->Queue().item(0).status() != "B"; }, 30000));
    EXPECT_EQ(p.tx.engine->Queue().item(0).status(), "S");
    EXPECT_TRUE(p.tx.LogHas(" starting at " + QByteArray::number(static_cast<qlonglong>(kept)) + " bytes to bob"));
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent doc.bin"); }));
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("doc.bin")), data);
}

TEST(Encryption, ABatchFollowsTheUpgradeAndEachFileTakesItsOwnReply)
{
    Pair p;
    const QByteArray a = PatternBytes(70001, 4), b = PatternBytes(10, 7), have = PatternBytes(50, 5),
                     d = PatternBytes(123457, 6);

    // The receiver takes a batch inside the session: a wrong password in the middle ("402"), a
    // file it holds whole ("406"), a file it resumes from an odd offset.
    p.rx.dir.write("Parcelwise_Downloads/have.bin", have);
    p.rx.dir.write("Parcelwise_Downloads/d.bin", d.left(1001));
    ImpostorSender sender(p.rx.port);
    ASSERT_TRUE(sender.Upgrade());
    sender.peer.socket->write(BatchProtocol::BuildBatch({Protocol::BuildRequest("11", "alice", "pw1", "a.bin", a.size(), "first"),
                                                         Protocol::BuildRequest("12", "alice", "nope", "b.bin", 10, ""),
                                                         Protocol::BuildRequest("13", "alice", "pw1", "have.bin", have.size(), ""),
                                                         Protocol::BuildRequest("14", "alice", "pw1", "d.bin", d.size(), "")}));
    ASSERT_TRUE(WaitFor([&] { return sender.peer.decrypted.count("\r\r") == 4; }));
    EXPECT_EQ(sender.peer.decrypted, "1010\r\r402\r\r406\r\r1011001\r\r");
    sender.peer.socket->write(a + d.mid(1001));
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent d.bin"); }));
    EXPECT_TRUE(p.rx.LogHas("alice successfully sent a.bin"));
    EXPECT_TRUE(p.rx.LogHas("Incorrect Login from 127.0.0.1"));
    EXPECT_TRUE(p.rx.LogHas("Attempt to send pre-existing file have.bin by alice"));
    EXPECT_TRUE(p.rx.engine->Log().ReceivedMessages().contains("first"));
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("a.bin")), a);
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("d.bin")), d);
    EXPECT_FALSE(QFile::exists(p.rx.Downloads("b.bin")));
    // The first accepted request pinned the sender's key, once.
    EXPECT_EQ(p.rx.engine->Trust().Pins().PinOf("alice"), sender.peer.key.fingerprint);
    EXPECT_EQ(p.rx.engine->Log().ScreenText().count("Pinned the key of alice"), 1);

    // The sender: five rows for one user go as one batch inside the session, the last one the
    // same file as the refused one. Each row takes its own reply, and keeps its channel while
    // its file is still on its way.
    const Identity key = ReadIdentityPem(MakeIdentityPem());
    ScriptedReceiver script("100 PARCELWISE WELCOME BATCH STARTTLS\r\r", {"1010", "402", "406", "1017", "1010"}, key);
    script.holdClose = true;
    p.PointAt(script.port());
    p.Queue(a, "a.bin");
    p.Queue(b, "b.bin");
    p.Queue(have, "have.bin");
    p.Queue(d, "d.bin");
    p.Queue(b, "b.bin");
    const auto row = [&](int r) { return p.tx.engine->Queue().item(r); };
    ASSERT_TRUE(WaitFor([&] { return script.finished == 1; }, 20000));
    EXPECT_EQ(row(1).statusText(), "Retry Wait Bad Login");
    EXPECT_EQ(row(2).status(), "S");
    for (int r : {0, 3, 4}) {
        EXPECT_EQ(row(r).status(), "B") << r;
        EXPECT_EQ(row(r).channel(), "0") << r;
    }
    // The channel's percent belongs to the file whose bytes went last, not to the slot's first row.
    EXPECT_EQ(p.tx.engine->SenderOfRow(p.tx.engine->Queue().RowId(4)), 0);
    EXPECT_EQ(p.tx.engine->SenderOfRow(p.tx.engine->Queue().RowId(0)), -1);
    script.ReleaseClose();
    ASSERT_TRUE(WaitFor([&] { return row(0).status() != "B" && row(3).status() != "B" && row(4).status() != "B"; }));
    for (int r : {0, 2, 3, 4})
        EXPECT_EQ(row(r).status(), "S") << r;
    EXPECT_EQ(row(1).status(), "W");
    for (int r = 0; r < 5; ++r)
        EXPECT_EQ(row(r).channel(), "") << r;
    EXPECT_EQ(script.connections, 1);
    EXPECT_EQ(script.upgrades, 1);
    EXPECT_EQ(script.batches, 1);
    EXPECT_EQ(script.requests.size(), 5);
    EXPECT_EQ(script.got["a.bin"], a);
    EXPECT_EQ(script.got["d.bin"], d.mid(7));
    EXPECT_EQ(script.got["b.bin"], b);
    EXPECT_TRUE(p.tx.LogHas("Bad Login to bob sending b.bin"));
    EXPECT_TRUE(p.tx.LogHas("Remote File Already Exists - have.bin sent to bob"));
    EXPECT_TRUE(p.tx.LogHas("Successfully sent d.bin to bob"));
    EXPECT_EQ(p.tx.engine->Trust().Pins().PinOf("bob"), key.fingerprint);
    EXPECT_EQ(p.tx.engine->Log().ScreenText().count("Pinned the key of bob"), 1);
    // The refused row's words name where it went, though the same file went through in another
    // row; the delivered ones have none.
    const QByteArray where = "127.0.0.1:" + QByteArray::number(script.port());
    EXPECT_EQ(p.tx.engine->LastAttempt("bob", row(1).filePath()).address, where);
    EXPECT_EQ(p.tx.engine->LastAttempt("bob", row(0).filePath()), AttemptDetail{});
}

TEST(Encryption, AReceiverThatOffersNoBatchGetsOneFilePerSession)
{
    Pair p;
    ScriptedReceiver script("100 PARCELWISE WELCOME STARTTLS\r\r", {}, ReadIdentityPem(MakeIdentityPem()));
    p.PointAt(script.port());
    const QByteArray a = PatternBytes(30001, 1), b = PatternBytes(3, 2), c = PatternBytes(5000, 3);
    p.Queue(a, "a.bin");
    p.Queue(b, "b.bin");
    p.Queue(c, "c.bin");
    ASSERT_TRUE(WaitFor([&] { return script.finished == 3 && p.tx.engine->Queue().BusyRows().empty(); }, 20000));
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(p.tx.engine->Queue().item(r).status(), "S") << r;
    EXPECT_EQ(script.connections, 3);
    EXPECT_EQ(script.upgrades, 3);
    EXPECT_EQ(script.batches, 0);
    EXPECT_EQ(script.got["a.bin"], a);
    EXPECT_EQ(script.got["b.bin"], b);
    EXPECT_EQ(script.got["c.bin"], c);
}

TEST(Encryption, BadInputDuringTheUpgradeEndsOnlyThatConnection)
{
    Pair p;
    auto upgraded = [&](RawPeer &peer) {
        EXPECT_EQ(peer.ReadMessage(), BatchProtocol::WithOffer(Upgrade::OfferingWelcome, BatchProtocol::OfferWord));
        peer.Send(Upgrade::StartTlsCommand);
        EXPECT_EQ(peer.ReadMessage(), Upgrade::GoAheadReply);
    };
    {
        // Garbage instead of a handshake.
        RawPeer peer(p.rx.port);
        upgraded(peer);
        peer.Send(QByteArray("this is no handshake\r\n").repeated(20));
        EXPECT_TRUE(peer.WaitClosed());
        EXPECT_TRUE(WaitFor([&] { return p.rx.LogHas("Encryption failed with 127.0.0.1: "); }));
    }
    {
        // Cut off in the middle of the handshake.
        RawPeer peer(p.rx.port);
        upgraded(peer);
        peer.Send(QByteArray::fromHex("160301"));
        peer.socket.abort();
        EXPECT_TRUE(WaitFor([&] { return p.rx.LogHas("Connection Prematurely dropped to 127.0.0.1"); }));
    }
    {
        // A handshake that never comes: the watchdog ends it.
        RawPeer peer(p.rx.port);
        upgraded(peer);
        Pump(100);
        p.rx.clock.advanceSeconds(181);
        p.rx.engine->QueueTick();
        EXPECT_TRUE(peer.WaitClosed());
    }
    {
        // STARTTLS that was never offered.
        p.rx.engine->Prefs.Encryption = EncryptionSetting::Off;
        RawPeer peer(p.rx.port);
        EXPECT_EQ(peer.ReadMessage(), "100 PARCELWISE WELCOME BATCH\r\r");
        peer.Send(Upgrade::StartTlsCommand);
        EXPECT_EQ(peer.ReadMessage(), "401\r\r");
        EXPECT_TRUE(peer.WaitClosed());
        EXPECT_TRUE(WaitFor([&] { return p.rx.LogHas("STARTTLS without an offer from 127.0.0.1"); }));
        p.rx.engine->Prefs.Encryption = EncryptionSetting::Prefer;
    }
    // Nothing was written or pinned, and every channel serves the next caller.
    EXPECT_TRUE(QDir(p.rx.engine->Paths().DownloadsFolder).isEmpty());
    EXPECT_FALSE(QFile::exists(p.rx.dir.file("Parcelwise_Pins")));
    for (const ReceiveChannel &rc : p.rx.engine->Receivers())
        EXPECT_NE(rc.Letter, ReceiveLetter::Connected);
    EXPECT_EQ(p.SendOne(PatternBytes(3000, 4)).status(), "S");
    EXPECT_TRUE(p.rx.engine->Trust().Pins().PinOf("alice").has_value());

    // A receiver that says go ahead and then speaks no TLS: the attempt ends and is retried.
    struct Liar : QTcpServer {
        void incomingConnection(qintptr d) override
        {
            auto *s = new QTcpSocket(this);
            s->setSocketDescriptor(d);
            s->write(Upgrade::OfferingWelcome);
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
                // STARTTLS is answered, the handshake that follows with words.
                if (s->readAll().contains("STARTTLS"))
                    s->write(Upgrade::GoAheadReply);
                else
                    s->write(QByteArray("not tls at all\r\n").repeated(8));
            });
        }
    } liar;
    liar.listen(QHostAddress::LocalHost, 0);
    p.tx.engine->Trust().Forget("bob");
    p.PointAt(liar.serverPort());
    const QueueItem row = p.SendOne(PatternBytes(3000, 4), "liar.bin");
    EXPECT_EQ(row.status(), "W");
    EXPECT_FALSE(p.tx.engine->Trust().Pins().PinOf("bob"));
}

} // namespace

TEST(Encryption, FilesAroundTheReceiversWritePieceArriveWholeAlsoWhenResumed)
{
    // The receiver of an encrypted file writes it in pieces of 256 KiB: sizes one byte either side
    // of a piece, and a file of several pieces resumed from an odd offset.
    struct Case {
        int64_t size, offset;
    };
    const int64_t piece = 256 * 1024;
    const Case cases[] = {{piece - 1, 0}, {piece, 0}, {piece + 1, 0}, {3 * piece + 7, 100001}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes from " + std::to_string(c.offset));
        Pair p;
        const QByteArray data = PatternBytes(c.size, static_cast<int>(c.size % 89));
        if (c.offset > 0)
            p.rx.dir.write("Parcelwise_Downloads/doc.bin", data.left(c.offset));
        ASSERT_EQ(p.SendOne(data).status(), "S");
        EXPECT_TRUE(p.tx.LogHas(" starting at " + QByteArray::number(static_cast<qlonglong>(c.offset)) + " bytes to bob"));
        ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent doc.bin"); }));
        EXPECT_EQ(ReadWholeFile(p.rx.Downloads("doc.bin")), data);
        EXPECT_EQ(p.rx.engine->Trust().Pins().PinOf("alice"), p.TxKey()); // it went encrypted
    }
}
