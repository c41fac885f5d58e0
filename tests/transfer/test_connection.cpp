// The connection seam on loopback: accepted and opened connections carry bytes both ways, the
// fast path hands whole batches to the kernel only while nothing transforms the bytes, and a
// retired connection tells its owner nothing more.
#include "../TestSupport.h"
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

} // namespace
