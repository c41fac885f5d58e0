// The connection seam on loopback: accepted and opened connections carry bytes both ways, the
// fast path hands whole batches to the kernel only while nothing transforms the bytes, and a
// retired connection tells its owner nothing more.
#include "../TestSupport.h"
#include "core/Identity.h"
#include "transfer/Connection.h"

#include <QPointer>
#include <QSslConfiguration>
#include <gtest/gtest.h>
#include <memory>

namespace {

struct LoopbackPair {
    ConnectionServer server{nullptr};
    std::unique_ptr<Connection> client;
    QPointer<Connection> accepted;

    LoopbackPair()
    {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            if (QSslSocket *socket = server.NextPendingSocket())
                accepted = new Connection(ConnectionKind::Receive, socket, nullptr);
        });
        client = std::make_unique<Connection>(ConnectionKind::Send, nullptr);
        client->ConnectTo(QStringLiteral("127.0.0.1"), server.serverPort());
        EXPECT_TRUE(WaitFor([this] { return accepted && client->IsConnected(); }));
    }
    ~LoopbackPair() { delete accepted.data(); }
};

QByteArray ReadUntil(Connection &c, qsizetype size)
{
    QByteArray got;
    WaitFor([&] {
        got += c.ReadAll();
        return got.size() >= size;
    });
    return got;
}

TEST(Connection, CarriesBytesBothWaysWithTheCapOfItsKind)
{
    LoopbackPair p;
    EXPECT_EQ(ReadBufferCap(ConnectionKind::Receive), 256 * 1024);
    EXPECT_EQ(ReadBufferCap(ConnectionKind::Send), 0);
    EXPECT_TRUE(p.client->ZeroCopyAllowed());
    EXPECT_EQ(p.accepted->PeerAddress(), QHostAddress(QHostAddress::LocalHost));

    // A batch through the fast path, then a plain write behind it, in order.
    const QByteArray batch = PatternBytes(64 * 1024, 3);
    p.client->WriteBatch(batch.constData(), batch.size());
    p.client->Write("tail");
    p.client->Flush();
    EXPECT_EQ(ReadUntil(*p.accepted, batch.size() + 4), batch + "tail");

    p.accepted->Write("WELCOME\r\n");
    EXPECT_EQ(ReadUntil(*p.client, 9), "WELCOME\r\n");
}

TEST(Connection, EncryptionTurnsTheFastPathOff)
{
    LoopbackPair p;
    int handshakeFailures = 0;
    QObject::connect(p.client.get(), &Connection::HandshakeFailed, [&] { ++handshakeFailures; });
    p.client->StartClientEncryption(QSslConfiguration::defaultConfiguration(), QStringLiteral("nobody.invalid"));
    EXPECT_TRUE(p.client->IsEncrypting());
    EXPECT_FALSE(p.client->ZeroCopyAllowed());
    // The batch is never offered to the kernel beneath the encryption.
    const QByteArray batch = PatternBytes(1024, 5);
    EXPECT_FALSE(p.client->WriteBatch(batch.constData(), batch.size()));
    // The peer speaks no TLS: the handshake fails as such, and nothing was ever encrypted.
    p.accepted->Write(QByteArray("not a handshake\r\n").repeated(8));
    EXPECT_TRUE(WaitFor([&] { return handshakeFailures > 0; }));
    EXPECT_FALSE(p.client->IsEncrypted());
}

TEST(Connection, ARetiredConnectionReportsNothingAndGoesAway)
{
    LoopbackPair p;
    QPointer<Connection> retired = p.client.release();
    int events = 0;
    QObject::connect(retired, &Connection::Closed, [&] { ++events; });
    QObject::connect(retired, &Connection::ReadyRead, [&] { ++events; });
    retired->Write("BUSY\r\n");
    retired->Close();
    // The queued bytes still go out before the close.
    EXPECT_EQ(ReadUntil(*p.accepted, 6), "BUSY\r\n");
    EXPECT_TRUE(WaitFor([&] { return retired.isNull(); }));
    EXPECT_EQ(events, 0);
}

Identity NewIdentity()
{
    return ReadIdentityPem(MakeIdentityPem());
}

struct Handshake {
    int encrypted = 0, failed = 0;
    QByteArray reason;
    void Watch(Connection *c)
    {
        QObject::connect(c, &Connection::Encrypted, [this] { ++encrypted; });
        QObject::connect(c, &Connection::HandshakeFailed, [this](const QByteArray &r) {
            ++failed;
            reason = r;
        });
        QObject::connect(c, &Connection::Failed, [this](int) { ++failed; });
        QObject::connect(c, &Connection::Closed, [this] { ++failed; });
    }
};

TEST(Connection, EncryptsWithSelfSignedCertificatesBothWaysAndShowsEachOthersKey)
{
    LoopbackPair p;
    const Identity server = NewIdentity(), client = NewIdentity();
    Handshake hs, hc;
    hs.Watch(p.accepted);
    hc.Watch(p.client.get());
    p.accepted->StartServerEncryption(TransferTlsConfiguration(server.key, server.certificate));
    p.client->StartClientEncryption(TransferTlsConfiguration(client.key, client.certificate));
    ASSERT_TRUE(WaitFor([&] { return (hs.encrypted && hc.encrypted) || hs.failed || hc.failed; }));
    ASSERT_EQ(hs.failed + hc.failed, 0) << hs.reason.constData() << hc.reason.constData();
    EXPECT_TRUE(p.client->IsEncrypted());
    EXPECT_EQ(KeyFingerprint(p.client->PeerCertificate()), server.fingerprint);
    EXPECT_EQ(KeyFingerprint(p.accepted->PeerCertificate()), client.fingerprint);

    // A megabyte through the encryption arrives whole; until the network has taken the
    // encrypted bytes they count as still to be written.
    const QByteArray data = PatternBytes(1024 * 1024, 9);
    p.client->Write(data);
    EXPECT_GT(p.client->BytesToWrite(), 0);
    EXPECT_EQ(ReadUntil(*p.accepted, data.size()), data);
    EXPECT_TRUE(WaitFor([&] { return p.client->BytesToWrite() == 0; }));
    p.accepted->Write("101\r\r");
    EXPECT_EQ(ReadUntil(*p.client, 5), "101\r\r");
}

TEST(Connection, HandshakeFailsForAnOlderProtocolOrAKeyThatIsNotTheCertificates)
{
    const Identity a = NewIdentity(), b = NewIdentity();
    {
        // A client that offers TLS 1.2 at most.
        LoopbackPair p;
        Handshake hs;
        hs.Watch(p.accepted);
        QSslConfiguration old = TransferTlsConfiguration(b.key, b.certificate);
        old.setProtocol(QSsl::TlsV1_2);
        p.accepted->StartServerEncryption(TransferTlsConfiguration(a.key, a.certificate));
        p.client->StartClientEncryption(old);
        EXPECT_TRUE(WaitFor([&] { return hs.failed > 0 || hs.encrypted > 0; }));
        EXPECT_EQ(hs.encrypted, 0);
        EXPECT_FALSE(p.accepted->IsEncrypted());
    }
    {
        // A certificate that is another key's cannot serve: the handshake fails at once, and the
        // client (whose wait the channel's watchdog bounds) is never encrypted.
        LoopbackPair p;
        Handshake hs, hc;
        hs.Watch(p.accepted);
        hc.Watch(p.client.get());
        p.accepted->StartServerEncryption(TransferTlsConfiguration(a.key, b.certificate));
        p.client->StartClientEncryption(TransferTlsConfiguration(b.key, b.certificate));
        EXPECT_TRUE(WaitFor([&] { return hs.failed > 0 || hs.encrypted > 0; }));
        Pump(200);
        EXPECT_EQ(hs.encrypted + hc.encrypted, 0);
        EXPECT_FALSE(p.client->IsEncrypted());
    }
}

} // namespace
