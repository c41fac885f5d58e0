// The FTP upload client against the FTP server from Debian's packages and a scripted server on
// loopback: the stored page, the records, the data port, the watchdog and retry on the fake clock,
// and every way an attempt can end.
#include "FtpFixture.h"
#include "dynaddr/AddressPage.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTcpServer>

namespace {

QByteArray ReadFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QByteArray OpenPage(const FakeClock &clock, int listenPort)
{
    return BuildAddressPage("GO", "127.0.0.1", ShortDate(clock.now()), ShortTime(clock.now()), listenPort);
}

} // namespace

TEST(FtpUpload, StoresTheOpenThenTheClosedPageOnTheDebianServer)
{
    ScratchDir dir;
    const QString home = MakeFolder(dir.path(), "home");
    LocalServer server;
    ASSERT_TRUE(StartFtpServer(server, home, "user", "s3cr#t")) << server.Output().constData();
    FtpClientFixture f;
    ASSERT_EQ(f.client.NextDataPort(), 1555);

    FtpJob job = LoopbackJob(server.Port(), "pages/me.html", "user", "s3cr#t");
    QDir(home).mkpath("pages");
    job.ListenPort = 40000;
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, job));
    EXPECT_TRUE(f.client.Busy());
    // A second command while the transfer runs is ignored.
    EXPECT_FALSE(f.client.Start(FtpPageMode::Close, job));
    ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData();
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "DONE/802"}))
        << f.client.Diagnostics().constData();
    EXPECT_EQ(f.client.ResultText(), "FTPFTP\\GO\\000\\\rFTPFTP\\DISK\\000\\\rFTPFTP\\DONE\\802\\\r");
    EXPECT_EQ(ReadFile(home + "/pages/me.html"), StoredByDebianServer(OpenPage(f.clock, 40000)));

    // The data port came from the counter and was announced with the six numbers.
    const int port = f.client.DataPort();
    EXPECT_GE(port, 1556);
    EXPECT_EQ(f.client.NextDataPort(), port);
    const QByteArray diag = f.client.Diagnostics();
    EXPECT_TRUE(diag.contains("> PORT 127,0,0,1," + QByteArray::number(port / 256) + "," +
                              QByteArray::number(port % 256) + "\r\n")) << diag.constData();
    EXPECT_TRUE(diag.contains("> USER user\r\n") && diag.contains("> PASS ********\r\n"));
    EXPECT_TRUE(diag.contains("* Password = ********\r\n"));
    EXPECT_TRUE(diag.contains("> STOR  pages/me.html\r\n"));
    EXPECT_FALSE(diag.contains("s3cr#t"));
    EXPECT_FALSE(server.Output().contains("QUIT"));

    f.records.clear();
    ASSERT_TRUE(f.client.Start(FtpPageMode::Close, job));
    ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData();
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "DONE/802"}));
    EXPECT_EQ(ReadFile(home + "/pages/me.html"), "<HTML>\r<P>Parcelwise Page\r<P>CLOSED\r</HTML>");
    EXPECT_GT(f.client.DataPort(), port);
}

TEST(FtpUpload, WrongPasswordNothingListeningAndRefusedParameters)
{
    ScratchDir dir;
    LocalServer server;
    ASSERT_TRUE(StartFtpServer(server, MakeFolder(dir.path(), "home"), "user", "secret"));
    FtpClientFixture f;
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(server.Port(), "p.html", "user", "wrong")));
    ASSERT_TRUE(f.WaitEnded());
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "ERROR/530"}));
    EXPECT_TRUE(f.client.Diagnostics().contains("* !!! Login Incorrect\r\n"));
    EXPECT_FALSE(f.client.Diagnostics().contains("wrong"));
    EXPECT_EQ(f.client.NextDataPort(), 1555); // no PORT step, no port used

    f.records.clear();
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(FreeLoopbackPort())));
    ASSERT_TRUE(f.WaitEnded());
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "ERROR/801"}));

    // Bad parameters: refused at once, and the client takes the next command.
    f.records.clear();
    FtpJob bad = LoopbackJob(server.Port());
    bad.Url = "ftp://127.0.0.1";
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, bad));
    EXPECT_EQ(f.RecordTexts(), QList<QByteArray>{"ABORT/899"});
    EXPECT_FALSE(f.client.Busy());
    f.client.Abort(); // nothing runs: no record
    EXPECT_EQ(f.records.size(), 1);
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(server.Port(), "p.html")));
    ASSERT_TRUE(f.WaitEnded());
    EXPECT_EQ(f.LastRecord(), (FtpRecord{FtpWord::Done, "802"}));
}

TEST(FtpUpload, ServerThatConnectsAfterStorWithSplitRepliesGetsThePageExactly)
{
    ScratchDir dir;
    const QString stored = dir.file("stored");
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "late", {"--split", "--store", stored}));
    FtpClientFixture f;
    FtpJob job = LoopbackJob(server.Port());
    job.ListenPort = 1556; // the counter's first port is the receive port: the one after it is used
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, job));
    ASSERT_TRUE(f.WaitEnded(20000)) << f.client.Diagnostics().constData();
    EXPECT_EQ(f.LastRecord(), (FtpRecord{FtpWord::Done, "802"})) << f.client.Diagnostics().constData();
    // This server keeps every byte.
    EXPECT_EQ(ReadFile(stored), OpenPage(f.clock, 1556));
    EXPECT_GE(f.client.DataPort(), 1558);
    // The three-line greeting is answered once, after its last line.
    EXPECT_EQ(server.Output().count("USER user"), 1);
    EXPECT_TRUE(server.Output().contains("PORT 127,0,0,1,6,"));
}

TEST(FtpUpload, TakenDataPortIsPassedOver)
{
    ScratchDir dir;
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "late", {"--store", dir.file("stored")}));
    FtpClientFixture f;
    // Hold the port the counter gives next, or learn that someone else holds it.
    QTcpServer holder;
    const bool held = holder.listen(QHostAddress::LocalHost, 1556);
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(server.Port())));
    ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData();
    EXPECT_EQ(f.LastRecord(), (FtpRecord{FtpWord::Done, "802"})) << f.client.Diagnostics().constData();
    EXPECT_GT(f.client.DataPort(), 1556);
    if (held) {
        EXPECT_TRUE(f.client.Diagnostics().contains("* Cannot listen on 1556\r\n"));
    }
}

TEST(FtpUpload, SilentServerEndsByTheWatchdogOrByAbort)
{
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "silent"));
    FtpClientFixture f;
    FtpJob job = LoopbackJob(server.Port());
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, job));
    ASSERT_TRUE(WaitFor([&] { return f.client.Diagnostics().contains("> USER user"); }));

    // 59 seconds of silence are within a limit of 60 seconds; 60 are not.
    f.clock.advanceSeconds(59);
    f.client.WatchdogTick();
    EXPECT_TRUE(f.client.Busy());
    f.clock.advanceSeconds(1);
    f.client.WatchdogTick();
    EXPECT_TRUE(f.WaitEnded(1000)) << f.client.Diagnostics().constData();
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "ERROR/812"}));

    // The abort ends the attempt at once; the client is ready for the next command.
    f.records.clear();
    ASSERT_TRUE(f.client.Start(FtpPageMode::Close, job));
    ASSERT_TRUE(WaitFor([&] { return f.records.size() == 2; }));
    f.client.Abort();
    EXPECT_FALSE(f.client.Busy());
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "ABORT/884"}));
    EXPECT_TRUE(f.client.Diagnostics().contains("* !!! Aborted by user\r\n"));
    f.clock.advanceSeconds(600);
    f.client.WatchdogTick();
    EXPECT_EQ(f.records.size(), 3);
}

TEST(FtpUpload, ConnectWatchEndsAnAttemptThatNeverConnects)
{
    // A loopback listener that never accepts, its queue filled: further connects stay pending.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 0), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    const int port = ntohs(address.sin_port);
    QTcpSocket fillers[3];
    for (QTcpSocket &filler : fillers)
        filler.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    Pump(200);

    FtpClientFixture f;
    FtpJob job = LoopbackJob(port);
    job.DLTimeout = 20;
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, job));
    Pump(300);
    EXPECT_EQ(f.RecordTexts(), QList<QByteArray>{"GO/000"});
    f.clock.advanceSeconds(19);
    f.client.WatchdogTick();
    EXPECT_TRUE(f.client.Busy());
    f.clock.advanceSeconds(1);
    f.client.WatchdogTick();
    EXPECT_FALSE(f.client.Busy());
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "ERROR/813"}));
    ::close(fd);
}

TEST(FtpUpload, RetryAfterTheWaitSucceedsAndAbortCutsTheWaitShort)
{
    ScratchDir dir;
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "late", {"--fail-first", "--store", dir.file("stored")}));
    FtpClientFixture f;
    FtpJob job = LoopbackJob(server.Port());
    job.RetryLimit = 2;
    job.RetryDelay = 0; // counts as one second
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, job));
    ASSERT_TRUE(WaitFor([&] { return f.client.RetryWaiting(); }));
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "RETRY/2"}));
    EXPECT_EQ(f.client.RetryWaitMs(), 1000);
    EXPECT_TRUE(f.client.Diagnostics().contains("* Waiting 1 seconds\r\n"));
    // A command during the wait is ignored.
    EXPECT_FALSE(f.client.Start(FtpPageMode::Close, job));
    f.client.WaitTimerTick();
    ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData();
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "RETRY/2", "DISK/000", "DONE/802"}));
    EXPECT_EQ(f.client.AttemptNumber(), 2);
    EXPECT_TRUE(f.client.Diagnostics().contains("*-----Attempt number 2-----\r\n"));
    EXPECT_EQ(ReadFile(dir.file("stored")), OpenPage(f.clock, 4444));

    // A long wait is armed in full; an abort during it ends the transfer and the wait starts nothing.
    f.records.clear();
    job.RetryDelay = 100;
    job.Url = "ftp://127.0.0.1:" + QByteArray::number(FreeLoopbackPort()) + "/p.html";
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, job));
    ASSERT_TRUE(WaitFor([&] { return f.client.RetryWaiting(); }));
    EXPECT_EQ(f.client.RetryWaitMs(), 100000);
    f.client.Abort();
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "RETRY/2", "ABORT/884"}));
    EXPECT_FALSE(f.client.Busy());
    f.client.WaitTimerTick();
    Pump(100);
    EXPECT_EQ(f.records.size(), 3);
}

// Servers that misbehave: every attempt ends with a record and the client takes the next command.
TEST(FtpUpload, MisbehavingServersEndTheAttemptWithACode)
{
    const struct {
        const char *mode;
        const char *record;
    } rows[] = {
        {"close-at-USER", "ERROR/802"},
        {"close-at-PASS", "ERROR/802"},
        {"close-at-STOR", "ERROR/802"},
        {"flood", "ERROR/809"},
        // Neither a "226" out of turn nor a data connection that ends before the page went out
        // stores anything.
        {"226-at-USER", "ERROR/226"},
        // Nor does a server that answers with the code this client gives a page it has sent.
        {"852-at-USER", "ERROR/882"},
        {"drop-data", "ERROR/854"},
    };
    for (const auto &row : rows) {
        LocalServer server;
        ASSERT_TRUE(StartScriptedFtpServer(server, row.mode)) << row.mode;
        FtpClientFixture f;
        ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(server.Port())));
        ASSERT_TRUE(f.WaitEnded()) << row.mode << f.client.Diagnostics().constData();
        EXPECT_EQ(f.RecordTexts().constLast(), QByteArray(row.record)) << row.mode << f.client.Diagnostics().constData();
        EXPECT_FALSE(f.client.Busy());
    }

    // A data connection that never comes ends by the watchdog; one that sends bytes of its own
    // still ends with a record.
    LocalServer nodata;
    ASSERT_TRUE(StartScriptedFtpServer(nodata, "nodata"));
    FtpClientFixture f;
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(nodata.Port())));
    ASSERT_TRUE(WaitFor([&] { return f.client.Diagnostics().contains("< 150 "); }));
    f.clock.advanceSeconds(60);
    f.client.WatchdogTick();
    EXPECT_EQ(f.RecordTexts().constLast(), "ERROR/812");

    ScratchDir dir;
    LocalServer talkative;
    ASSERT_TRUE(StartScriptedFtpServer(talkative, "talkative", {"--store", dir.file("stored")}));
    f.records.clear();
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(talkative.Port())));
    ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData();
    EXPECT_FALSE(f.client.Busy());
}

TEST(FtpUpload, DataConnectionFromAnotherAddressIsTurnedAway)
{
    ScratchDir dir;
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "stranger", {"--store", dir.file("stored")}));
    FtpClientFixture f;
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(server.Port())));
    ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData() << server.Output().constData();
    EXPECT_EQ(f.LastRecord(), (FtpRecord{FtpWord::Done, "802"})) << f.client.Diagnostics().constData();
    EXPECT_TRUE(f.client.Diagnostics().contains("* Data connection from 127.0.0.2 refused\r\n"));
    // The stranger got nothing; the server the control connection talks to got the whole page.
    EXPECT_TRUE(server.Output().contains("stranger got 0 bytes")) << server.Output().constData();
    EXPECT_EQ(ReadFile(dir.file("stored")), OpenPage(f.clock, 4444));
}

// Bytes that never make a complete reply, and complete replies that never move the transfer on,
// cannot hold an attempt open: the first are no activity, the second meet the attempt's limit of
// twice the activity limit.
TEST(FtpUpload, ServerThatKeepsTalkingCannotHoldTheAttempt)
{
    LocalServer continuing;
    ASSERT_TRUE(StartScriptedFtpServer(continuing, "continue"));
    FtpClientFixture f;
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(continuing.Port())));
    const auto linesGrow = [&](const QByteArray &line) {
        const qsizetype before = f.client.Diagnostics().count(line);
        return WaitFor([&] { return f.client.Diagnostics().count(line) > before; });
    };
    ASSERT_TRUE(linesGrow("< 220-still here"));
    f.clock.advanceSeconds(30);
    ASSERT_TRUE(linesGrow("< 220-still here"));
    f.client.WatchdogTick();
    EXPECT_TRUE(f.client.Busy());
    f.clock.advanceSeconds(30);
    ASSERT_TRUE(linesGrow("< 220-still here"));
    f.client.WatchdogTick();
    EXPECT_FALSE(f.client.Busy());
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "ERROR/812"}));
    continuing.Stop();

    LocalServer noisy;
    ASSERT_TRUE(StartScriptedFtpServer(noisy, "noise"));
    f.records.clear();
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, LoopbackJob(noisy.Port())));
    ASSERT_TRUE(linesGrow("< 200 ok"));
    for (int i = 0; i < 4; ++i) {
        f.clock.advanceSeconds(29);
        ASSERT_TRUE(linesGrow("< 200 ok"));
        f.client.WatchdogTick();
        ASSERT_TRUE(f.client.Busy()) << i;
    }
    f.clock.advanceSeconds(4); // 120 seconds since the connect request
    ASSERT_TRUE(linesGrow("< 200 ok"));
    f.client.WatchdogTick();
    EXPECT_FALSE(f.client.Busy());
    EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "ERROR/812"}));
    EXPECT_TRUE(f.client.Diagnostics().contains("* Attempt longer than 120 seconds\r\n"));
}
