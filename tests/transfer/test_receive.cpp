// Files sent into a running engine through real sockets on loopback.
#include "EngineHarness.h"
#include "core/Cipher.h"
#include "core/FileOps.h"
#include "transfer/Protocol.h"

#include <QDir>
#include <QTcpServer>
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Protocol;

namespace {

struct Receiver : EngineHarness {
    explicit Receiver(int channels = 2) : EngineHarness(channels)
    {
        AddUser({"alice", "pw1", "", "", "S", "", "4444"});
        Start();
    }
};

QByteArray Request(const QByteArray &name, int64_t size, const QByteArray &login = "alice",
                   const QByteArray &password = "pw1", const QByteArray &message = "")
{
    return BuildRequest("123", login, password, name, size, message);
}

// Greeted peer: connects and checks the WELCOME, which offers encryption (the receiver
// prefers it); these peers answer in the clear, as a peer without encryption does.
std::unique_ptr<RawPeer> Greeted(const Receiver &r)
{
    auto peer = std::make_unique<RawPeer>(r.port);
    // The welcome may offer more words after its own (BATCH); a peer reads only the code.
    const QByteArray welcome = peer->ReadMessage();
    EXPECT_TRUE(welcome.startsWith("100 PARCELWISE WELCOME") && welcome.endsWith("\r\r")) << welcome.constData();
    return peer;
}

} // namespace

TEST(Receive, NewFileArrivesWholeAndLogged)
{
    Receiver r;
    ASSERT_TRUE(r.LogHas("Listening on slot  1 Port  " + QByteArray::number(r.port)));
    const QByteArray data = PatternBytes(123457);
    auto peer = Greeted(r);
    peer->Send(Request("new.bin", data.size()));
    EXPECT_EQ(peer->ReadMessage(), QByteArray("1010\r\r"));
    peer->Send(data);
    ASSERT_TRUE(peer->WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return r.LogHas("alice successfully sent new.bin"); }));
    EXPECT_EQ(ReadWholeFile(r.Downloads("new.bin")), data);
    EXPECT_TRUE(r.LogHas("Connect accepted from 127.0.0.1"));
    EXPECT_TRUE(r.LogHas("alice is sending new.bin - 123457 bytes"));
    EXPECT_EQ(r.engine->Receivers()[0].Letter, ReceiveLetter::Idle);
}

TEST(Receive, ResumesFromWhatIsOnDisk)
{
    Receiver r;
    const QByteArray data = PatternBytes(5000, 7);
    r.dir.write("Parcelwise_Downloads/part.bin", data.left(3000));
    auto peer = Greeted(r);
    peer->Send(Request("part.bin", 5000));
    EXPECT_EQ(peer->ReadMessage(), QByteArray("1013000\r\r"));
    peer->Send(data.mid(3000));
    ASSERT_TRUE(peer->WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return r.LogHas("alice successfully sent part.bin"); }));
    EXPECT_TRUE(r.LogHas("alice is sending part.bin - 5000 bytes"));
    EXPECT_TRUE(r.LogHas("alice is resuming part.bin at 3000 bytes"));
    EXPECT_EQ(ReadWholeFile(r.Downloads("part.bin")), data);
}

TEST(Receive, DroppedMidFileKeepsPartAndNextAttemptResumes)
{
    Receiver r;
    const QByteArray data = PatternBytes(60000, 3);
    {
        auto peer = Greeted(r);
        peer->Send(Request("cut.bin", data.size()));
        EXPECT_EQ(peer->ReadMessage(), QByteArray("1010\r\r"));
        peer->Send(data.left(25000));
        Pump(100);
        peer->socket.disconnectFromHost();
        ASSERT_TRUE(WaitFor([&] { return r.LogHas("alice partially sent 25000 bytes of 60000 bytes of cut.bin"); }));
    }
    EXPECT_EQ(ReadWholeFile(r.Downloads("cut.bin")), data.left(25000));
    auto peer = Greeted(r);
    peer->Send(Request("cut.bin", data.size()));
    EXPECT_EQ(peer->ReadMessage(), QByteArray("10125000\r\r"));
    peer->Send(data.mid(25000));
    ASSERT_TRUE(peer->WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return r.LogHas("alice successfully sent cut.bin"); }));
    EXPECT_EQ(ReadWholeFile(r.Downloads("cut.bin")), data);
}

TEST(Receive, ExcessBytesAreWrittenAndLogged)
{
    Receiver r;
    auto peer = Greeted(r);
    peer->Send(Request("more.bin", 10));
    EXPECT_EQ(peer->ReadMessage(), QByteArray("1010\r\r"));
    peer->Send("0123456789ABC");
    ASSERT_TRUE(peer->WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return r.LogHas("alice sent 3 too many bytes of more.bin"); }));
    EXPECT_EQ(ReadWholeFile(r.Downloads("more.bin")), QByteArray("0123456789ABC"));
}

struct RefusalCase {
    const char *label;
    QByteArray request;
    QByteArray reply;
    QByteArray logLine;
};

TEST(Receive, RefusalsAreAnsweredLoggedAndClosed)
{
    auto record = [](int separators) {
        QByteArray text = "v1123";
        const QByteArray fields[] = {"alice", "pw1", "x.bin", "10", "TEXT", "dosa", "msg"};
        for (int k = 0; k < separators - 1; ++k)
            text += QByteArray(1, '\x01') + fields[k];
        return EncryptToHex(text) + "\r\r";
    };
    const RefusalCase cases[] = {
        {"bad password", Request("x.bin", 10, "alice", "PW1"), "402\r\r", "Incorrect Login from 127.0.0.1"},
        {"unknown login", Request("x.bin", 10, "bob", "pw1"), "402\r\r", "Incorrect Login from 127.0.0.1"},
        {"blank name", Request("   ", 10), "403\r\r", "Blank File Name from 127.0.0.1"},
        {"parent folder", Request("../evil", 10), "403\r\r", "Unsafe File Name from 127.0.0.1"},
        {"folder part", Request("sub/evil", 10), "403\r\r", "Unsafe File Name from 127.0.0.1"},
        // Control characters would forge log lines or drive the terminal of whoever reads the log.
        {"line break", Request("x.bin\r\n01/01/2026 10:00 bob successfully sent FORGED", 10), "403\r\r",
         "Unsafe File Name from 127.0.0.1"},
        {"escape", Request("x\x1B[2J.bin", 10), "403\r\r", "Unsafe File Name from 127.0.0.1"},
        {"bell", Request("x\x07.bin", 10), "403\r\r", "Unsafe File Name from 127.0.0.1"},
        {"delete", Request("x\x7F.bin", 10), "403\r\r", "Unsafe File Name from 127.0.0.1"},
        {"U+0085 as UTF-8", Request("x\xC2\x85.bin", 10), "403\r\r", "Unsafe File Name from 127.0.0.1"},
        {"undefined in Windows-1252", Request("x\x81.bin", 10), "403\r\r", "Unsafe File Name from 127.0.0.1"},
        {"zero size", Request("x.bin", 0), "404\r\r", "Zero Byte File from 127.0.0.1"},
        {"seven separators", record(7), "401\r\r", "Badly formed request from 127.0.0.1"},
        {"non-hex", QByteArray(32, 'Z') + "\r\r", "401\r\r", "Badly formed request from 127.0.0.1"},
        {"odd length", "ABC\r\r", "401\r\r", "Badly formed request from 127.0.0.1"},
    };
    Receiver r;
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.label);
        auto peer = Greeted(r);
        peer->Send(c.request);
        EXPECT_EQ(peer->ReadMessage(), c.reply);
        EXPECT_TRUE(peer->WaitClosed());
        EXPECT_TRUE(WaitFor([&] { return r.LogHas(c.logLine); }));
        EXPECT_TRUE(WaitFor([&] { return r.engine->Receivers()[0].Letter != ReceiveLetter::Connected; }));
    }
    EXPECT_FALSE(QFile::exists(r.dir.file("evil")));
    EXPECT_TRUE(QDir(r.engine->Paths().DownloadsFolder).entryList(QDir::Files).isEmpty());
    EXPECT_FALSE(r.LogHas("FORGED"));
    EXPECT_FALSE(r.engine->Log().ScreenText().contains('\x1B'));
}

// The request cap covers the whole request, terminator included, however TCP splits it.
TEST(Receive, RequestCapDoesNotDependOnHowTheRequestArrives)
{
    // Line feeds are dropped before deciphering, so they pad a request to any length.
    const auto padded = [](qsizetype total) {
        const QByteArray base = BuildRequestRecord("123", "alice", "pw1", "long.bin", 10, "");
        const QByteArray hex = EncryptToHex(base + QByteArray(32760 - base.size(), 'm'));
        return hex + QByteArray(total - hex.size() - 2, '\n') + "\r\r";
    };
    const struct {
        const char *label;
        QByteArray request;
        QByteArray reply;
    } cases[] = {
        {"exactly the cap", padded(MaxRequestSize), "1010\r\r"},
        {"one byte over", padded(MaxRequestSize + 1), "401\r\r"},
        {"longest queued message", Request("long.bin", 10, "alice", "pw1", QByteArray(MaxMessageSize, 'm')), "1010\r\r"},
        {"82 KB message", Request("big.bin", 10, "alice", "pw1", QByteArray(41000, 'm')), "401\r\r"},
        {"no terminator", QByteArray(70000, 'A'), "401\r\r"},
    };
    Receiver r;
    for (const auto &c : cases) {
        for (const qsizetype piece : {c.request.size(), qsizetype(1460)}) {
            SCOPED_TRACE(std::string(c.label) + (piece == c.request.size() ? ", one write" : ", in pieces"));
            QFile::remove(r.Downloads("long.bin"));
            auto peer = Greeted(r);
            for (qsizetype at = 0; at < c.request.size() && peer->Connected(); at += piece) {
                peer->Send(c.request.mid(at, piece));
                if (piece < c.request.size())
                    Pump(1);
            }
            EXPECT_EQ(peer->ReadMessage(), c.reply);
            peer->socket.abort();
            EXPECT_TRUE(WaitFor([&] {
                for (const ReceiveChannel &rc : r.engine->Receivers())
                    if (rc.Letter == ReceiveLetter::Connected)
                        return false;
                return true;
            }));
        }
    }
}

TEST(Receive, AnEmptyFileLeftBehindIsResumedAtZero)
{
    Receiver r;
    r.dir.write("Parcelwise_Downloads/empty.bin", "");
    auto peer = Greeted(r);
    peer->Send(Request("empty.bin", 4));
    EXPECT_EQ(peer->ReadMessage(), QByteArray("1010\r\r"));
    peer->Send("abcd");
    ASSERT_TRUE(peer->WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return r.LogHas("alice successfully sent empty.bin"); }));
    EXPECT_TRUE(r.LogHas("alice is resuming empty.bin at 0 bytes"));
    EXPECT_EQ(ReadWholeFile(r.Downloads("empty.bin")), QByteArray("abcd"));
}

TEST(Receive, CompleteFileIsRefusedAndKept)
{
    Receiver r;
    r.dir.write("Parcelwise_Downloads/done.bin", "abcdef");
    auto peer = Greeted(r);
    peer->Send(Request("done.bin", 6));
    EXPECT_EQ(peer->ReadMessage(), QByteArray("406\r\r"));
    ASSERT_TRUE(peer->WaitClosed());
    EXPECT_TRUE(WaitFor([&] { return r.LogHas("Attempt to send pre-existing file done.bin by alice"); }));
    EXPECT_EQ(ReadWholeFile(r.Downloads("done.bin")), QByteArray("abcdef"));
}

TEST(Receive, MessagesAreStoredOnArrivalAndClosedAtShutdown)
{
    Receiver r;
    auto peer = Greeted(r);
    peer->Send(Request("m.txt", 2, "alice", "pw1", "line one\rline two"));
    EXPECT_EQ(peer->ReadMessage(), QByteArray("1010\r\r"));
    peer->Send("hi");
    ASSERT_TRUE(peer->WaitClosed());
    EXPECT_TRUE(r.engine->Log().ReceivedMessages().contains(" alice\r\nline one\r\nline two\r\n"));
    // On disk before any shutdown: a process that dies now loses nothing.
    EXPECT_TRUE(r.dir.read("Parcelwise_Logs/" + TransferLog::MessageFileName(r.clock.now()))
                    .endsWith(" alice\r\nline one\r\nline two\r\n"));
    r.engine->BeginShutdown();
    r.engine->QuitTimerTick();
    const QByteArray stored =
        r.dir.read("Parcelwise_Logs/" + TransferLog::MessageFileName(r.clock.now()));
    EXPECT_TRUE(stored.contains("line one\r\nline two\r\n\r\n"));
}

TEST(Receive, EveryChannelServesItsCallerAndCallersBeyondHearBusy)
{
    for (const int channels : {1, 2, 4}) {
        SCOPED_TRACE(channels);
        Receiver r(channels);
        std::vector<std::unique_ptr<RawPeer>> peers;
        for (int k = 0; k < channels; ++k)
            peers.push_back(Greeted(r));
        for (int k = 0; k < channels; ++k)
            EXPECT_EQ(r.engine->Receivers()[k].Letter, ReceiveLetter::Connected);
        // Every channel serves, yet the port still answers: the next caller hears BUSY.
        RawPeer beyond(r.port);
        EXPECT_EQ(beyond.ReadMessage(), QByteArray("400 PARCELWISE BUSY\r\r"));
        EXPECT_TRUE(beyond.WaitClosed());
        EXPECT_TRUE(WaitFor([&] { return r.LogHas("Connection refused to 127.0.0.1"); }));
        // The callers being served are untouched; a freed channel takes the next caller.
        peers[0]->Send(Request("one.bin", 3));
        EXPECT_EQ(peers[0]->ReadMessage(), QByteArray("1010\r\r"));
        peers[0]->Send("abc");
        ASSERT_TRUE(peers[0]->WaitClosed());
        ASSERT_TRUE(WaitFor([&] { return r.engine->Receivers()[0].Letter == ReceiveLetter::Listening; }));
        auto next = Greeted(r);
        EXPECT_EQ(ReadWholeFile(r.Downloads("one.bin")), QByteArray("abc"));
    }
}

TEST(Receive, SingleChannelServesOnePeer)
{
    Receiver r(1);
    auto peer = Greeted(r);
    peer->Send(Request("one.bin", 3));
    EXPECT_EQ(peer->ReadMessage(), QByteArray("1010\r\r"));
    peer->Send("abc");
    ASSERT_TRUE(peer->WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return r.engine->Receivers()[0].Letter == ReceiveLetter::Listening; }));
    auto again = Greeted(r);
}

TEST(Receive, SilenceTimesOutAfterMoreThan180Seconds)
{
    Receiver r;
    auto peer = Greeted(r);
    peer->Send(Request("slow.bin", 100));
    EXPECT_EQ(peer->ReadMessage(), QByteArray("1010\r\r"));
    r.clock.advanceSeconds(180);
    r.engine->QueueTick();
    EXPECT_TRUE(r.engine->Receivers()[0].Timed());
    r.clock.advanceSeconds(1);
    r.engine->QueueTick();
    EXPECT_TRUE(r.LogHas("Timeout receiving slow.bin"));
    EXPECT_TRUE(peer->WaitClosed());
}

TEST(Receive, WaitingForTheRequestIsBounded)
{
    Receiver r;
    {
        auto silent = Greeted(r);
        r.clock.advanceSeconds(181);
        r.engine->QueueTick();
        EXPECT_TRUE(silent->WaitClosed());
        EXPECT_TRUE(r.LogHas("Timeout waiting for request from 127.0.0.1"));
    }
    auto flood = Greeted(r);
    flood->Send(QByteArray(70000, 'A'));
    EXPECT_EQ(flood->ReadMessage(), QByteArray("401\r\r"));
    EXPECT_TRUE(flood->WaitClosed());
}

TEST(Receive, PortHeldByAnotherProgramIsRetried)
{
    QTcpServer squatter;
    const int port = FreeLoopbackPort();
    ASSERT_TRUE(squatter.listen(QHostAddress::Any, static_cast<quint16>(port)));
    EngineHarness h;
    h.engine->Prefs.ListenPort = port;
    h.Start();
    EXPECT_TRUE(h.LogHas("Cannot listen on port " + QByteArray::number(port) +
                         ": the port is in use by another program or installation; another port can be set in "
                         "Preferences"));
    EXPECT_EQ(h.engine->ListeningPort(), 0);
    squatter.close();
    h.engine->QueueTick();
    EXPECT_EQ(h.engine->ListeningPort(), port);
}

TEST(Receive, ANewPortHeldByAnotherProgramLeavesNoSlotListeningUntilItIsHad)
{
    Receiver r;
    QTcpServer squatter;
    const int port = FreeLoopbackPort();
    ASSERT_TRUE(squatter.listen(QHostAddress::Any, static_cast<quint16>(port)));
    r.engine->Prefs.ListenPort = port;
    QByteArray shownPort;
    QObject::connect(r.engine.get(), &Engine::OwnAddressChanged,
                     [&] { shownPort = QByteArray::number(r.engine->ListeningPort()); });
    r.engine->ApplyListenPort();
    EXPECT_TRUE(r.LogHas("Cannot listen on port " + QByteArray::number(port)));
    EXPECT_EQ(r.engine->ListeningPort(), 0);
    // Nothing listens on the old port any more, and no slot says it does.
    for (const ReceiveChannel &rc : r.engine->Receivers())
        EXPECT_NE(rc.Letter, ReceiveLetter::Listening) << rc.Index();
    EXPECT_EQ(shownPort, "0"); // the own address is shown without a port
    RawPeer stale(r.port);
    EXPECT_FALSE(stale.Connected());

    // Once the other program lets go, the next tick listens and says so.
    squatter.close();
    r.engine->QueueTick();
    EXPECT_EQ(r.engine->ListeningPort(), port);
    EXPECT_EQ(r.engine->Receivers()[0].Letter, ReceiveLetter::Listening);
    EXPECT_TRUE(r.LogHas("Listening on slot  1 Port  " + QByteArray::number(port)));
    RawPeer moved(port);
    EXPECT_TRUE(moved.ReadMessage().startsWith("100 PARCELWISE WELCOME"));
}

TEST(Receive, ACallerThatCannotBeAcceptedDoesNotStopThePortForGood)
{
    Receiver r;
    // The caller's socket takes the lowest free descriptor and the process may hold no more, so
    // the receiver's accept fails as it does when descriptors run out.
    const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowest, 0);
    ::close(lowest);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest) + 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const int caller = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(r.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = caller >= 0 && ::connect(caller, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    const bool failed = connected && WaitFor([&] { return r.LogHas("Cannot accept a connection on port "); }, 5000);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(connected);
    EXPECT_TRUE(failed) << r.engine->Log().ScreenText().constData();
    // The next tick takes callers again: the one that waited, and a new one.
    r.engine->QueueTick();
    auto next = Greeted(r);
    char welcome[64] = {};
    EXPECT_TRUE(WaitFor([&] { return ::recv(caller, welcome, sizeof welcome - 1, MSG_DONTWAIT) > 0; }, 5000));
    EXPECT_TRUE(QByteArray(welcome).startsWith("100 PARCELWISE WELCOME")) << welcome;
    ::close(caller);
}

TEST(Receive, NamesThatAreNotUtf8ReadAsWindows1252)
{
    Receiver r;
    for (const QByteArray &name : {QByteArray("caf\xE9.txt"), QByteArray("caf\xE8.txt"), QByteArray("caf\xC3\xA9s.txt"),
                                   QByteArray("it\x92s \x93new\x94 \x96 \x80.txt")}) {
        auto peer = Greeted(r);
        peer->Send(Request(name, 4));
        EXPECT_EQ(peer->ReadMessage(), QByteArray("1010\r\r"));
        peer->Send(name.left(4));
        EXPECT_TRUE(peer->WaitClosed());
    }
    const QStringList files = QDir(r.engine->Paths().DownloadsFolder).entryList(QDir::Files);
    EXPECT_EQ(files.size(), 4) << files.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(files.contains(QStringLiteral("cafés.txt")));
    EXPECT_TRUE(files.contains(QStringLiteral("café.txt")));
    EXPECT_TRUE(files.contains(QStringLiteral("cafè.txt")));
    // The punctuation lands on disk as the screen shows it, not as control characters.
    EXPECT_TRUE(files.contains(QStringLiteral("it’s “new” – €.txt")));
}

TEST(Receive, OneFileIsNeverWrittenByTwoCallersAtOnce)
{
    Receiver r(3);
    auto first = Greeted(r);
    first->Send(Request("same.bin", 100000));
    EXPECT_EQ(first->ReadMessage(), QByteArray("1010\r\r"));
    auto second = Greeted(r);
    second->Send(Request("same.bin", 100000));
    EXPECT_EQ(second->ReadMessage(), QByteArray("405\r\r"));
    EXPECT_TRUE(WaitFor([&] { return r.LogHas("Cannot Create File same.bin"); }));
}

TEST(Receive, ARequestDrippedInSlowlyStillTimesOut)
{
    Receiver r;
    auto peer = Greeted(r);
    for (int k = 0; k < 3; ++k) {
        r.clock.advanceSeconds(70);
        peer->Send("A");
        Pump(30);
        r.engine->QueueTick();
    }
    EXPECT_TRUE(peer->WaitClosed());
    EXPECT_TRUE(r.LogHas("Timeout waiting for request from 127.0.0.1"));
}

TEST(Receive, ANewPortIsListenedOnAtOnceAndACallerBeingServedStays)
{
    Receiver r;
    const int oldPort = r.port;
    auto served = Greeted(r); // takes the listening slot; the next idle one listens
    const int newPort = FreeLoopbackPort();
    r.engine->Prefs.ListenPort = newPort;
    int addressShown = 0;
    QObject::connect(r.engine.get(), &Engine::OwnAddressChanged, [&] { ++addressShown; });
    r.engine->ApplyListenPort();
    EXPECT_EQ(r.engine->ListeningPort(), newPort);
    EXPECT_EQ(addressShown, 1); // the own address is shown again, with the new port
    EXPECT_TRUE(r.LogHas("Listening on slot  2 Port  " + QByteArray::number(newPort)));

    RawPeer moved(newPort);
    EXPECT_TRUE(moved.ReadMessage().startsWith("100 PARCELWISE WELCOME"));
    RawPeer stale(oldPort);
    EXPECT_FALSE(stale.Connected());

    // The caller accepted on the old port is still served.
    const QByteArray data = PatternBytes(3000);
    served->Send(Request("kept.bin", data.size()));
    EXPECT_EQ(served->ReadMessage(), QByteArray("1010\r\r"));
    served->Send(data);
    ASSERT_TRUE(served->WaitClosed());
    ASSERT_TRUE(WaitFor([&] { return r.LogHas("alice successfully sent kept.bin"); }));
}

TEST(Receive, ANewPortBeforeTheStartWaitsForIt)
{
    EngineHarness h;
    h.engine->Prefs.ListenPort = FreeLoopbackPort();
    int addressShown = 0;
    QObject::connect(h.engine.get(), &Engine::OwnAddressChanged, [&] { ++addressShown; });
    h.engine->ApplyListenPort();
    EXPECT_EQ(h.engine->ListeningPort(), 0);
    EXPECT_EQ(addressShown, 1); // shown with the new port before the start too
    h.Start();
    EXPECT_EQ(h.engine->ListeningPort(), h.engine->Prefs.ListenPort);
}

TEST(Receive, ANewPortPostsADynamicAddressPageAgain)
{
    EngineHarness h;
    h.engine->Prefs.AddressType = AddressKind::Dynamic; // no FTP site given: each posting says so and stops
    h.Start();
    const QByteArray missing = "No Dynamic IP FTP URL Given";
    ASSERT_EQ(h.engine->Log().ScreenText().count(missing), 1);
    h.engine->Prefs.ListenPort = FreeLoopbackPort();
    h.engine->ApplyListenPort();
    EXPECT_EQ(h.engine->Log().ScreenText().count(missing), 2);
    EXPECT_EQ(h.engine->ListeningPort(), h.engine->Prefs.ListenPort);
}
