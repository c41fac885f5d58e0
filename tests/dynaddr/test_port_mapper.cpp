// The router port mapping against a fake NAT-PMP gateway (UDP on its own loopback address, port
// 5351) and a fake UPnP router (an HTTP server on loopback). Nothing is discovered: the router
// is always named, so nothing but loopback is reached.
#include "FtpFixture.h"
#include "LocalServers.h"
#include "TestSupport.h"
#include "core/Clock.h"
#include "core/TransferLog.h"
#include "dynaddr/AddressPage.h"
#include "dynaddr/NatPmp.h"
#include "dynaddr/PortMapper.h"
#include "dynaddr/UpnpWorker.h"
#include "transfer/Engine.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

QList<QByteArray> Texts(const QByteArray &screen)
{
    QList<QByteArray> texts;
    static const QRegularExpression stamp(QStringLiteral("^.*? \\d\\d:\\d\\d "));
    for (const QByteArray &line : screen.split('\n')) {
        const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
        if (l.isEmpty())
            continue;
        const QRegularExpressionMatch m = stamp.match(QString::fromLatin1(l));
        texts << (m.hasMatch() ? l.mid(m.capturedLength()) : l);
    }
    return texts;
}

// A NAT-PMP gateway on address:5351 that answers as told and keeps every request.
class FakeGateway {
public:
    enum class Mode { Answer, Silent, Refuse, Garbage, WrongPort, ZeroPort, ZeroLifetime, OtherSender };

    explicit FakeGateway(const char *address) : address_(address)
    {
        bound_ = socket_.bind(address_, NatPmpPort);
        QObject::connect(&socket_, &QUdpSocket::readyRead, [this] { OnRequest(); });
    }
    bool Bound() const { return bound_; }

    Mode mode = Mode::Answer;
    QByteArray externalAddress = "203.0.113.7";
    uint16_t externalPort = 45000;
    uint32_t lifetime = 7200;
    uint32_t epoch = 1000;
    QList<QByteArray> requests;

    int MapRequests() const
    {
        int n = 0;
        for (const QByteArray &r : requests)
            n += r.size() == 12 && r[1] == 2 && r.right(4) != QByteArray(4, '\0');
        return n;
    }
    int Removals() const
    {
        int n = 0;
        for (const QByteArray &r : requests)
            n += r.size() == 12 && r[1] == 2 && r.right(4) == QByteArray(4, '\0');
        return n;
    }

private:
    static void Put(QByteArray &out, uint32_t v, int bytes)
    {
        for (int i = bytes - 1; i >= 0; --i)
            out.append(char((v >> (8 * i)) & 0xff));
    }

    void OnRequest()
    {
        while (socket_.hasPendingDatagrams()) {
            const QNetworkDatagram d = socket_.receiveDatagram();
            const QByteArray r = d.data();
            requests << r;
            if (mode == Mode::Silent)
                continue;
            QByteArray answer;
            if (mode == Mode::Garbage) {
                answer = "\0\x80\0\0garbage!";
            } else if (r.size() == 2) {
                answer = QByteArray("\0\x80", 2);
                Put(answer, 0, 2);
                Put(answer, epoch, 4);
                Put(answer, *ParseDottedIPv4(externalAddress), 4);
            } else if (r.size() == 12) {
                const uint16_t internal = uint16_t((uint8_t(r[4]) << 8) | uint8_t(r[5]));
                const bool removal = r.right(4) == QByteArray(4, '\0');
                answer = QByteArray("\0\x82", 2);
                Put(answer, mode == Mode::Refuse ? 2 : 0, 2);
                Put(answer, epoch, 4);
                Put(answer, mode == Mode::WrongPort ? internal + 1 : internal, 2);
                Put(answer, removal || mode == Mode::ZeroPort ? 0 : externalPort, 2);
                Put(answer, removal || mode == Mode::ZeroLifetime ? 0 : lifetime, 4);
            }
            if (mode == Mode::OtherSender) {
                // The right answer, from another address.
                if (other_.state() == QAbstractSocket::UnconnectedState)
                    other_.bind(QHostAddress(QStringLiteral("127.0.0.22")), NatPmpPort);
                other_.writeDatagram(answer, d.senderAddress(), d.senderPort());
            } else {
                socket_.writeDatagram(answer, d.senderAddress(), d.senderPort());
            }
        }
    }

    QHostAddress address_;
    QUdpSocket socket_;
    QUdpSocket other_;
    bool bound_ = false;
};

struct MapperFixture {
    explicit MapperFixture(const RouterChoice &router)
    {
        mapper.SetRouter(router);
        QObject::connect(&mapper, &PortMapper::MappingChanged, [this] { ++changes; });
        QObject::connect(&mapper, &PortMapper::RemovalFinished, [this] { ++removalsFinished; });
    }
    QList<QByteArray> Lines() const { return Texts(log.ScreenText()); }
    bool WaitLine(const QByteArray &text, int timeoutMs = 10000)
    {
        return WaitFor([&] { return Lines().contains(text); }, timeoutMs);
    }
    // Lets NAT-PMP's silence limit pass on the clock.
    void GiveUp()
    {
        clock.set(clock.now().addMSecs(PortMapper::GiveUpMs));
        mapper.Tick();
    }

    FakeClock clock;
    TransferLog log{clock};
    PortMapper mapper{clock, log};
    int changes = 0;
    int removalsFinished = 0;
};

} // namespace

TEST(PortMapper, NatPmpMapsTheListenPortRenewsChecksAndRemoves)
{
    FakeGateway gateway("127.0.0.9");
    ASSERT_TRUE(gateway.Bound());
    MapperFixture f(RouterChoice::FromValues("127.0.0.9", QByteArray()));

    ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
    EXPECT_FALSE(f.mapper.Settled());
    ASSERT_TRUE(f.WaitLine("Port mapped on router: 203.0.113.7:45000 (NAT-PMP)"));
    ASSERT_EQ(gateway.requests.size(), 2);
    EXPECT_EQ(gateway.requests[0], NatPmpAddressRequest());
    EXPECT_EQ(gateway.requests[1], NatPmpMapRequest(4444, 4444, 7200));
    EXPECT_TRUE(f.mapper.Settled());
    EXPECT_EQ(f.changes, 1);
    EXPECT_EQ(f.mapper.PageIp(), "203.0.113.7");
    EXPECT_EQ(f.mapper.PagePort(), 45000);
    EXPECT_EQ(f.mapper.LabelText(), "203.0.113.7:45000 (router)");
    EXPECT_EQ(f.mapper.StatusLine(), "Reachable at 203.0.113.7:45000 (router, NAT-PMP)");
    EXPECT_TRUE(f.mapper.ToolTip("192.168.1.20:4444").contains("NAT-PMP"));
    EXPECT_TRUE(f.mapper.ToolTip("192.168.1.20:4444").contains("192.168.1.20:4444"));

    // Ten minutes on: the external address is asked for and has changed.
    gateway.externalAddress = "203.0.113.9";
    f.clock.advanceSeconds(PortMapper::AddressCheckSeconds);
    f.mapper.Tick();
    ASSERT_TRUE(f.WaitLine("Port mapping changed: 203.0.113.9:45000"));
    EXPECT_EQ(gateway.requests.size(), 3);
    EXPECT_EQ(f.changes, 2);
    EXPECT_EQ(f.mapper.PageIp(), "203.0.113.9");

    // At half the lease the mapping is renewed, suggesting the port the router gave.
    f.clock.advanceSeconds(3600 - PortMapper::AddressCheckSeconds);
    f.mapper.Tick();
    ASSERT_TRUE(WaitFor([&] { return gateway.MapRequests() == 2; }));
    EXPECT_EQ(gateway.requests.last(), NatPmpMapRequest(4444, 45000, 7200));

    // A router that restarted (lower epoch) is asked for the mapping again at the next check.
    ASSERT_TRUE(WaitFor([&] { return !f.mapper.StatusLine().isEmpty() && gateway.requests.size() == 5; }));
    Pump(20);
    gateway.epoch = 5;
    f.clock.advanceSeconds(PortMapper::AddressCheckSeconds);
    f.mapper.Tick();
    ASSERT_TRUE(WaitFor([&] { return gateway.MapRequests() == 3; }));

    // Shutdown removes it.
    Pump(20);
    f.mapper.BeginRemoval();
    ASSERT_TRUE(WaitFor([&] { return f.removalsFinished == 1; }));
    EXPECT_EQ(gateway.Removals(), 1);
    EXPECT_EQ(gateway.requests.last(), NatPmpMapRequest(4444, 0, 0));
    EXPECT_EQ(f.Lines().last(), "Port mapping removed");
    EXPECT_TRUE(f.mapper.RemovalDone());
    EXPECT_FALSE(f.mapper.Mapped());
}

TEST(PortMapper, NatPmpFailuresLeaveNoMappingAndSayWhy)
{
    const struct {
        FakeGateway::Mode mode;
        const char *line;
        int unanswered; // the request that goes unanswered (1 or 2), 0 when every one is answered
    } cases[] = {
        {FakeGateway::Mode::Silent, "Port mapping failed: no router answered", 1},
        {FakeGateway::Mode::Refuse, "Port mapping failed: the router refused with code 2 (not authorized)", 0},
        {FakeGateway::Mode::Garbage, "Port mapping failed: the answer was malformed", 1},
        {FakeGateway::Mode::WrongPort, "Port mapping failed: the answer was malformed (wrong internal port)", 2},
        {FakeGateway::Mode::ZeroPort, "Port mapping failed: the answer was malformed (external port 0)", 0},
        {FakeGateway::Mode::ZeroLifetime, "Port mapping failed: the router granted no lease", 0},
        {FakeGateway::Mode::OtherSender, "Port mapping failed: the answer came from another address", 1},
    };
    for (const auto &c : cases) {
        FakeGateway gateway("127.0.0.10");
        ASSERT_TRUE(gateway.Bound());
        gateway.mode = c.mode;
        MapperFixture f(RouterChoice::FromValues("127.0.0.10", QByteArray()));
        ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
        if (c.unanswered) {
            // Tries at 250 and 500 ms, then the silence limit.
            const int n = c.unanswered;
            ASSERT_TRUE(WaitFor([&] { return gateway.requests.size() == n; })) << c.line;
            f.clock.set(f.clock.now().addMSecs(250));
            f.mapper.Tick();
            ASSERT_TRUE(WaitFor([&] { return gateway.requests.size() == n + 1; }));
            f.clock.set(f.clock.now().addMSecs(250));
            f.mapper.Tick();
            ASSERT_TRUE(WaitFor([&] { return gateway.requests.size() == n + 2; }));
            EXPECT_EQ(gateway.requests[n + 1], gateway.requests[n - 1]);
            Pump(20);
            EXPECT_FALSE(f.mapper.Settled());
            f.GiveUp();
        }
        ASSERT_TRUE(f.WaitLine(c.line)) << c.line << "\n" << f.log.ScreenText().constData();
        EXPECT_TRUE(f.mapper.Settled());
        EXPECT_FALSE(f.mapper.Mapped());
        EXPECT_TRUE(f.mapper.PageIp().isEmpty());
        EXPECT_EQ(f.mapper.PagePort(), 0);
        EXPECT_TRUE(f.mapper.StatusLine().isEmpty());
        EXPECT_EQ(f.changes, 0);
        // Nothing to remove at shutdown: done at once.
        f.mapper.BeginRemoval();
        EXPECT_TRUE(f.mapper.RemovalDone());
    }
}

TEST(PortMapper, SilentRouterAfterTheFirstMappingAndAtShutdown)
{
    FakeGateway gateway("127.0.0.11");
    ASSERT_TRUE(gateway.Bound());
    MapperFixture f(RouterChoice::FromValues("127.0.0.11", QByteArray()));
    ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return f.mapper.Mapped(); }));

    gateway.mode = FakeGateway::Mode::Silent;
    f.clock.advanceSeconds(PortMapper::AddressCheckSeconds);
    f.mapper.Tick();
    ASSERT_TRUE(WaitFor([&] { return gateway.requests.size() == 3; }));
    f.GiveUp();
    EXPECT_EQ(f.Lines().last(), "Port mapping failed: no router answered");
    EXPECT_FALSE(f.mapper.Mapped());
    EXPECT_EQ(f.changes, 2);

    // Tried again 10 minutes later, still silent: the same failure is not logged again.
    const qsizetype lines = f.Lines().size();
    f.clock.advanceSeconds(PortMapper::RetrySeconds);
    f.mapper.Tick();
    ASSERT_TRUE(WaitFor([&] { return gateway.requests.size() == 4; }));
    f.GiveUp();
    EXPECT_EQ(f.Lines().size(), lines);

    // Tried again later: the router is back.
    gateway.mode = FakeGateway::Mode::Answer;
    f.clock.advanceSeconds(PortMapper::RetrySeconds);
    f.mapper.Tick();
    ASSERT_TRUE(WaitFor([&] { return f.mapper.Mapped(); }));

    // Silent again at shutdown: the removal is given up with NAT-PMP's silence limit, unconfirmed.
    gateway.mode = FakeGateway::Mode::Silent;
    f.mapper.BeginRemoval();
    EXPECT_FALSE(f.mapper.RemovalDone());
    f.clock.set(f.clock.now().addMSecs(PortMapper::GiveUpMs - 1));
    f.mapper.Tick();
    EXPECT_FALSE(f.mapper.RemovalDone());
    f.clock.set(f.clock.now().addMSecs(1));
    f.mapper.Tick();
    EXPECT_TRUE(f.mapper.RemovalDone());
    EXPECT_EQ(f.removalsFinished, 1);
    EXPECT_NE(f.Lines().last(), "Port mapping removed");
}

TEST(PortMapper, CarrierGradeNatAddressIsNotReachable)
{
    FakeGateway gateway("127.0.0.12");
    ASSERT_TRUE(gateway.Bound());
    gateway.externalAddress = "100.64.7.1";
    MapperFixture f(RouterChoice::FromValues("127.0.0.12", QByteArray()));
    ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
    ASSERT_TRUE(f.WaitLine("Port mapping: 100.64.7.1 is not reachable from the internet"));
    EXPECT_TRUE(f.mapper.Mapped());
    EXPECT_TRUE(f.mapper.PageIp().isEmpty());
    EXPECT_EQ(f.mapper.PagePort(), 0);
    EXPECT_TRUE(f.mapper.StatusLine().isEmpty());
    EXPECT_TRUE(f.mapper.ToolTip("192.168.1.20:4444").contains("not reachable from the internet"));
}

TEST(PortMapper, ChangedPortAndTurningOffRemoveTheMapping)
{
    FakeGateway gateway("127.0.0.13");
    ASSERT_TRUE(gateway.Bound());
    MapperFixture f(RouterChoice::FromValues("127.0.0.13", QByteArray()));
    ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return f.mapper.Mapped(); }));

    f.mapper.ChangePort(5555);
    ASSERT_TRUE(WaitFor([&] { return f.mapper.Mapped() && gateway.MapRequests() == 2; }));
    EXPECT_TRUE(gateway.requests.contains(NatPmpMapRequest(4444, 0, 0)));
    EXPECT_EQ(gateway.requests.last(), NatPmpMapRequest(5555, 5555, 7200));

    f.mapper.Stop();
    ASSERT_TRUE(f.WaitLine("Port mapping removed"));
    EXPECT_EQ(gateway.requests.last(), NatPmpMapRequest(5555, 0, 0));
    EXPECT_FALSE(f.mapper.Mapped());
    EXPECT_FALSE(f.mapper.Active());
}

TEST(PortMapper, NothingIsSentWithoutCause)
{
    // A public own address with discovery: nothing to map.
    {
        MapperFixture f(RouterChoice::FromValues(QByteArray(), QByteArray()));
        EXPECT_FALSE(f.mapper.Start(4444, "203.0.113.5"));
        EXPECT_FALSE(f.mapper.Active());
        EXPECT_TRUE(f.Lines().isEmpty());
    }
    // A named router that cannot be used turns mapping off, with no discovery instead.
    {
        FakeGateway gateway("127.0.0.14");
        MapperFixture f(RouterChoice::FromValues("127.0.0.14:5351", QByteArray()));
        EXPECT_FALSE(f.mapper.Start(4444, "192.168.1.20"));
        EXPECT_EQ(f.Lines(), QList<QByteArray>{"Port mapping off: PARCELWISE_NATPMP_GATEWAY is not an IPv4 address"});
        Pump(50);
        EXPECT_TRUE(gateway.requests.isEmpty());
    }
}

namespace {

struct FakeIgd {
    bool Start(const QString &mode, const QString &ip = QStringLiteral("203.0.113.7"))
    {
        actionsFile = dir.path() + QStringLiteral("/actions.txt");
        return server.Start(QString::fromLatin1(DebianPython), [&](int port) {
            return QStringList{QStringLiteral("-u"), ServerScript(QStringLiteral("fake_igd.py")),
                               QStringLiteral("--port"), QString::number(port), QStringLiteral("--actions"),
                               actionsFile, QStringLiteral("--mode"), mode, QStringLiteral("--ip"), ip};
        });
    }
    QByteArray Url() const { return "http://127.0.0.1:" + QByteArray::number(server.Port()) + "/rootDesc.xml"; }
    QList<QByteArray> Actions() const
    {
        QFile f(actionsFile);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QList<QByteArray> lines = f.readAll().split('\n');
        lines.removeAll(QByteArray());
        return lines;
    }

    ScratchDir dir;
    LocalServer server;
    QString actionsFile;
};

constexpr char Add4444[] = "AddPortMapping NewEnabled=1 NewExternalPort=4444 NewInternalClient=127.0.0.1 "
                           "NewInternalPort=4444 NewLeaseDuration=3600 NewPortMappingDescription=Parcelwise "
                           "NewProtocol=TCP NewRemoteHost=";

} // namespace

TEST(PortMapper, UpnpMapsAfterAConflictAndRemovesAtShutdown)
{
    FakeIgd igd;
    ASSERT_TRUE(igd.Start(QStringLiteral("conflict"))) << igd.server.Output().constData();
    MapperFixture f(RouterChoice::FromValues(QByteArray(), igd.Url()));
    ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
    ASSERT_TRUE(f.WaitLine("Port mapped on router: 203.0.113.7:4445 (UPnP)")) << f.log.ScreenText().constData();
    const QList<QByteArray> actions = igd.Actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0], "GetExternalIPAddress ");
    EXPECT_EQ(actions[1], Add4444);
    EXPECT_EQ(actions[2], QByteArray(Add4444).replace("NewExternalPort=4444", "NewExternalPort=4445"));
    EXPECT_EQ(f.mapper.StatusLine(), "Reachable at 203.0.113.7:4445 (router, UPnP)");
    EXPECT_EQ(f.mapper.PagePort(), 4445);

    // Renewed at half the lease, the same external port asked for.
    f.clock.advanceSeconds(1800);
    f.mapper.Tick();
    ASSERT_TRUE(WaitFor([&] { return igd.Actions().size() == 5; }));
    EXPECT_TRUE(igd.Actions()[4].contains("NewExternalPort=4445"));
    ASSERT_TRUE(WaitFor([&] { return f.mapper.Mapped(); }));
    Pump(50);

    f.mapper.BeginRemoval();
    ASSERT_TRUE(WaitFor([&] { return f.removalsFinished == 1; }));
    EXPECT_EQ(igd.Actions().last(), "DeletePortMapping NewExternalPort=4445 NewProtocol=TCP NewRemoteHost=");
    EXPECT_EQ(f.Lines().last(), "Port mapping removed");
}

TEST(PortMapper, UpnpRouterSilentAtShutdownIsAbandonedAfterTwoSeconds)
{
    FakeIgd igd;
    ASSERT_TRUE(igd.Start(QString()));
    const int port = igd.server.Port();
    MapperFixture f(RouterChoice::FromValues(QByteArray(), igd.Url()));
    ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return f.mapper.Mapped(); })) << f.log.ScreenText().constData();

    // The router goes silent: it takes connections and never answers.
    igd.server.Stop();
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, quint16(port)));
    QList<QTcpSocket *> held;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] { held << silent.nextPendingConnection(); });

    f.mapper.BeginRemoval();
    ASSERT_TRUE(WaitFor([&] { return !held.isEmpty(); }));
    Pump(20);
    EXPECT_FALSE(f.mapper.RemovalDone());
    f.clock.set(f.clock.now().addMSecs(PortMapper::RemovalLimitMs));
    f.mapper.Tick();
    EXPECT_TRUE(f.mapper.RemovalDone());
    EXPECT_EQ(f.removalsFinished, 1);
    EXPECT_FALSE(f.Lines().contains("Port mapping removed"));
    // The mapper goes away with its worker still blocked: the thread is abandoned.
}

TEST(PortMapper, UpnpVersionTwoAndPermanentLeases)
{
    {
        FakeIgd igd;
        ASSERT_TRUE(igd.Start(QStringLiteral("v2")));
        MapperFixture f(RouterChoice::FromValues(QByteArray(), igd.Url()));
        ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
        // The fake router grants the asked port plus 1000.
        ASSERT_TRUE(f.WaitLine("Port mapped on router: 203.0.113.7:5444 (UPnP)")) << f.log.ScreenText().constData();
        EXPECT_TRUE(igd.Actions().last().startsWith("AddAnyPortMapping "));
    }
    {
        FakeIgd igd;
        ASSERT_TRUE(igd.Start(QStringLiteral("permanent")));
        MapperFixture f(RouterChoice::FromValues(QByteArray(), igd.Url()));
        ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
        ASSERT_TRUE(f.WaitLine("Port mapped on router: 203.0.113.7:4444 (UPnP)")) << f.log.ScreenText().constData();
        EXPECT_TRUE(igd.Actions().last().contains("NewLeaseDuration=0"));
        // A permanent mapping is looked at again after 20 minutes (the address check comes first).
        const int before = int(igd.Actions().size());
        f.clock.advanceSeconds(PortMapper::AddressCheckSeconds);
        f.mapper.Tick();
        ASSERT_TRUE(WaitFor([&] { return igd.Actions().size() > before; }));
    }
}

TEST(PortMapper, UpnpFailuresSayWhy)
{
    const struct {
        const char *mode;
        const char *line;
        const char *ip = "203.0.113.7";
    } cases[] = {
        {"refuse", "Port mapping failed: the router refused with code 606"},
        {"huge", "Port mapping failed: the router's description is larger than 1 MiB"},
        {"cutsoap", "Port mapping failed: no usable answer from the router"},
        // A router whose outside link is down answers with no address or 0.0.0.0: the page
        // must not name it.
        {"", "Port mapping failed: the router has no external address", ""},
        {"", "Port mapping failed: the router has no external address", "0.0.0.0"},
        {"", "Port mapping failed: the answer was malformed (external address 1.2.3.4 PORT=)", "1.2.3.4 PORT="},
    };
    for (const auto &c : cases) {
        FakeIgd igd;
        ASSERT_TRUE(igd.Start(QString::fromLatin1(c.mode), QString::fromLatin1(c.ip)));
        MapperFixture f(RouterChoice::FromValues(QByteArray(), igd.Url()));
        ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
        ASSERT_TRUE(f.WaitLine(c.line)) << c.mode << "\n" << f.log.ScreenText().constData();
        EXPECT_FALSE(f.mapper.Mapped());
        EXPECT_TRUE(f.mapper.Settled());
        EXPECT_TRUE(f.mapper.PageIp().isEmpty());
        // No mapping was asked for on an address nobody can reach.
        if (QByteArray(c.ip) != "203.0.113.7") {
            for (const QByteArray &action : igd.Actions()) {
                EXPECT_FALSE(action.contains("PortMapping")) << action.constData();
            }
        }
    }
}

TEST(PortMapper, ARootDescriptionDrippedInSlowlyIsGivenUp)
{
    // A device that answers a byte at a time, each within the silence limit, must not keep the
    // worker (and every mapping after it) waiting for its megabyte.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&at), &length), 0);
    std::atomic<bool> stop{false};
    std::thread device([&] {
        const int c = ::accept(listener, nullptr, nullptr);
        const char head[] = "HTTP/1.0 200 OK\r\n\r\n";
        ::send(c, head, sizeof head - 1, MSG_NOSIGNAL);
        // A byte every 50 ms for at most 3 seconds.
        for (int i = 0; i < 60 && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (::send(c, "x", 1, MSG_NOSIGNAL) != 1)
                break;
        }
        ::close(c);
    });
    QByteArray body, reason;
    const bool fetched = FetchRootDescription("http://127.0.0.1:" + QByteArray::number(ntohs(at.sin_port)) + "/rootDesc.xml",
                                              body, reason, 1024 * 1024, 200);
    stop = true;
    device.join();
    ::close(listener);
    EXPECT_FALSE(fetched);
    EXPECT_EQ(reason, "the router's description took too long");
}

TEST(PortMapper, UpnpAfterASilentNatPmpGateway)
{
    FakeGateway gateway("127.0.0.15");
    ASSERT_TRUE(gateway.Bound());
    gateway.mode = FakeGateway::Mode::Silent;
    FakeIgd igd;
    ASSERT_TRUE(igd.Start(QString()));
    MapperFixture f(RouterChoice::FromValues("127.0.0.15", igd.Url()));
    ASSERT_TRUE(f.mapper.Start(4444, "127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return gateway.requests.size() == 1; }));
    EXPECT_TRUE(igd.Actions().isEmpty());
    f.GiveUp();
    ASSERT_TRUE(f.WaitLine("Port mapped on router: 203.0.113.7:4444 (UPnP)")) << f.log.ScreenText().constData();
    EXPECT_FALSE(f.Lines().contains("Port mapping failed: no router answered"));
}

namespace {

QByteArray ReadWhole(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

TEST(PortMapper, EnginePostsTheOutsideAddressAndRemovesTheMappingAtShutdown)
{
    FakeGateway gateway("127.0.0.16");
    ASSERT_TRUE(gateway.Bound());
    ScratchDir dir;
    const QString home = MakeFolder(dir.path(), "home");
    LocalServer server;
    ASSERT_TRUE(StartFtpServer(server, home, "user", "secret"));
    FakeClock clock;
    RecordingPrompt prompt;
    Engine e(MakeFolder(dir.path(), "program"), clock, prompt);
    e.InitGlobals();
    e.Prefs.AddressType = AddressKind::Dynamic;
    e.Prefs.FtpUrl = "ftp://127.0.0.1:" + QByteArray::number(server.Port()) + "/me.html";
    e.Prefs.FtpLogin = "user";
    e.Prefs.FtpPassword = "secret";
    e.Prefs.ListenPort = FreeLoopbackPort();
    e.Prefs.PortMapping = true;
    e.AllowPortMapping(true);
    e.Mapper().SetRouter(RouterChoice::FromValues("127.0.0.16", QByteArray()));
    e.SetOwnAddress("127.0.0.1");
    e.MainWindowLoad();
    int quitReady = 0;
    QObject::connect(&e, &Engine::QuitReady, [&] { ++quitReady; });
    const auto page = [&](const QByteArray &ip, int port) {
        return StoredByDebianServer(BuildAddressPage("GO", ip, ShortDate(clock.now()), ShortTime(clock.now()), port));
    };

    e.StartChannels();
    ASSERT_TRUE(WaitFor([&] { return ReadWhole(home + "/me.html") == page("203.0.113.7", 45000); }))
        << ReadWhole(home + "/me.html").constData() << e.Log().ScreenText().constData();
    EXPECT_EQ(gateway.requests.value(1), NatPmpMapRequest(uint16_t(e.Prefs.ListenPort), uint16_t(e.Prefs.ListenPort), 7200));
    // The page waited for the mapping: it was posted once, already naming the outside address.
    EXPECT_EQ(Texts(e.Log().ScreenText()).count("Starting Upload of Dynamic IP Page"), 1);

    // A changed outside address posts the page again.
    gateway.externalAddress = "203.0.113.9";
    clock.advanceSeconds(PortMapper::AddressCheckSeconds);
    e.Mapper().Tick();
    ASSERT_TRUE(WaitFor([&] { return ReadWhole(home + "/me.html") == page("203.0.113.9", 45000); }))
        << ReadWhole(home + "/me.html").constData();
    ASSERT_TRUE(WaitFor([&] { return !e.Posting().FtpBusy(); }));

    e.BeginShutdown();
    ASSERT_TRUE(WaitFor([&] { return e.DynamicSideClosed() && e.Mapper().RemovalDone(); }));
    EXPECT_EQ(gateway.Removals(), 1);
    EXPECT_TRUE(Texts(e.Log().ScreenText()).contains("Port mapping removed"));
    e.QuitTimerTick();
    EXPECT_EQ(quitReady, 1);
    EXPECT_EQ(ReadWhole(home + "/me.html"), "<HTML>\r<P>Parcelwise Page\r<P>CLOSED\r</HTML>");
}

TEST(PortMapper, EnginePostsTheLocalPageWhenTheRouterFails)
{
    ScratchDir dir;
    const QString home = MakeFolder(dir.path(), "home");
    LocalServer server;
    ASSERT_TRUE(StartFtpServer(server, home, "user", "secret"));
    const struct {
        FakeGateway::Mode mode;
        const char *line;
    } cases[] = {
        {FakeGateway::Mode::Silent, "Port mapping failed: no router answered"},
        {FakeGateway::Mode::Refuse, "Port mapping failed: the router refused with code 2 (not authorized)"},
        {FakeGateway::Mode::Garbage, "Port mapping failed: the answer was malformed"},
    };
    int n = 0;
    for (const auto &c : cases) {
        FakeGateway gateway("127.0.0.21");
        ASSERT_TRUE(gateway.Bound());
        gateway.mode = c.mode;
        FakeClock clock;
        RecordingPrompt prompt;
        Engine e(MakeFolder(dir.path(), "program" + QString::number(++n)), clock, prompt);
        e.InitGlobals();
        const QByteArray file = "page" + QByteArray::number(n) + ".html";
        e.Prefs.AddressType = AddressKind::Dynamic;
        e.Prefs.FtpUrl = "ftp://127.0.0.1:" + QByteArray::number(server.Port()) + "/" + file;
        e.Prefs.FtpLogin = "user";
        e.Prefs.FtpPassword = "secret";
        e.Prefs.ListenPort = FreeLoopbackPort();
        e.Prefs.PortMapping = true;
        e.AllowPortMapping(true);
        e.Mapper().SetRouter(RouterChoice::FromValues("127.0.0.21", QByteArray()));
        e.SetOwnAddress("127.0.0.1");
        e.MainWindowLoad();
        e.StartChannels();
        ASSERT_TRUE(WaitFor([&] { return !gateway.requests.isEmpty(); }));
        Pump(20);
        // Nothing is posted before the router's first answer or its silence limit.
        if (c.mode != FakeGateway::Mode::Refuse) {
            EXPECT_FALSE(e.Posting().FtpBusy() || e.Posting().AddressPosted()) << c.line;
        }
        clock.set(clock.now().addMSecs(PortMapper::GiveUpMs));
        e.Mapper().Tick();
        ASSERT_TRUE(WaitFor([&] { return e.Posting().AddressPosted(); })) << c.line;
        const QList<QByteArray> lines = Texts(e.Log().ScreenText());
        EXPECT_TRUE(lines.contains(c.line)) << e.Log().ScreenText().constData();
        EXPECT_EQ(ReadWhole(home + "/" + QString::fromLatin1(file)),
                  StoredByDebianServer(BuildAddressPage("GO", "127.0.0.1", ShortDate(clock.now()),
                                                        ShortTime(clock.now()), e.Prefs.ListenPort)))
            << c.line;
        e.BeginShutdown();
        ASSERT_TRUE(WaitFor([&] { return e.DynamicSideClosed() && e.Mapper().RemovalDone(); }));
    }
}

TEST(PortMapper, EngineMapsOnlyWhenAllowedAndFollowsThePreference)
{
    FakeGateway gateway("127.0.0.17");
    ASSERT_TRUE(gateway.Bound());
    ScratchDir dir;
    FakeClock clock;
    RecordingPrompt prompt;
    Engine e(MakeFolder(dir.path(), "program"), clock, prompt);
    e.InitGlobals();
    e.Prefs.ListenPort = FreeLoopbackPort();
    e.Prefs.PortMapping = true;
    e.Mapper().SetRouter(RouterChoice::FromValues("127.0.0.17", QByteArray()));
    e.SetOwnAddress("127.0.0.1");
    e.MainWindowLoad();
    e.StartChannels();
    Pump(100);
    EXPECT_TRUE(gateway.requests.isEmpty()); // the option is off by default
    EXPECT_FALSE(e.Mapper().Active());

    e.AllowPortMapping(true);
    e.SavePrefs(e.Prefs);
    ASSERT_TRUE(WaitFor([&] { return e.Mapper().Mapped(); }));
    EXPECT_EQ(e.Mapper().StatusLine(), "Reachable at 203.0.113.7:45000 (router, NAT-PMP)");

    Preferences off = e.Prefs;
    off.PortMapping = false;
    e.SavePrefs(off);
    ASSERT_TRUE(WaitFor([&] { return Texts(e.Log().ScreenText()).contains("Port mapping removed"); }));
    EXPECT_EQ(gateway.Removals(), 1);
    EXPECT_FALSE(e.Mapper().Active());
    e.BeginShutdown();
    EXPECT_TRUE(e.Mapper().RemovalDone());
}
