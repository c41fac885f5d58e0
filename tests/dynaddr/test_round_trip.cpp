// The dynamic address end to end, with real servers on loopback: installation A posts its page
// through the FTP server into the folder the web server serves; B looks the page up and delivers
// a file to A; once A has shut down and posted its closed page, B finds no address and waits.
#include "../transfer/EngineHarness.h"
#include "LocalServers.h"
#include "core/FileOps.h"

#include <QDir>
#include <gtest/gtest.h>

TEST(RoundTrip, PostedPageLeadsToTheSendAndTheClosedPageToTheRetryWait)
{
    ScratchDir web;
    const QString www = MakeFolder(web.path(), "www");
    LocalServer ftp;
    ASSERT_TRUE(StartFtpServer(ftp, www, "user", "secret")) << ftp.Output().constData();
    LocalServer nginx;
    ASSERT_TRUE(StartNginx(nginx, MakeFolder(web.path(), "nginx"), www)) << nginx.Output().constData();
    const QString page = QDir(www).filePath("alice.html");

    // A: a dynamic address, posted by FTP when communications start.
    EngineHarness a{2, 0};
    a.engine->Prefs.AddressType = AddressKind::Dynamic;
    a.engine->Prefs.FtpUrl = "ftp://127.0.0.1:" + QByteArray::number(ftp.Port()) + "/alice.html";
    a.engine->Prefs.FtpLogin = "user";
    a.engine->Prefs.FtpPassword = "secret";
    a.AddUser({"bob", "pw1", "", "", "S", "", "4444"});
    a.Start();
    ASSERT_TRUE(WaitFor([&] { return a.LogHas("IP Address Successfully Updated"); }, 20000))
        << a.engine->Log().ScreenText().constData();
    EXPECT_TRUE(ReadWholeFile(page).contains("<P>PORT=" + QByteArray::number(a.port)));

    // B: A is a dynamic addressee whose page lies on the web server.
    EngineHarness b{1, 1};
    b.AddUser({"alice", "x", "bob", "pw1", "D", "http://127.0.0.1:" + QByteArray::number(nginx.Port()) + "/alice.html", ""});
    b.Start();
    auto queue = [&](const QByteArray &name, const QByteArray &content) {
        b.dir.write(QString::fromLatin1(name), content);
        b.engine->AddQueueItems({QueueModel::MakeNewItem(
            "alice", name, b.dir.file(QString::fromLatin1(name)).toLocal8Bit(), "hello", b.clock.nowSerial())});
    };
    const QByteArray data = PatternBytes(200001, 8);
    queue("first.bin", data);
    b.engine->QueueTick();
    EXPECT_TRUE(b.LogHas("Starting IP Check For alice"));
    ASSERT_TRUE(WaitFor([&] { return b.engine->Queue().item(0).status() != "B"; }, 20000));
    EXPECT_EQ(b.engine->Queue().item(0).status(), "S") << b.engine->Log().ScreenText().constData();
    ASSERT_TRUE(WaitFor([&] { return a.LogHas("bob successfully sent first.bin"); }));
    EXPECT_EQ(ReadWholeFile(a.Downloads("first.bin")), data);

    // A shuts down and posts its closed page.
    a.engine->BeginShutdown();
    ASSERT_TRUE(WaitFor([&] { return a.engine->DynamicSideClosed(); }, 20000));
    EXPECT_TRUE(a.LogHas("IP Address Successfully Closed"));
    EXPECT_TRUE(ReadWholeFile(page).contains("<P>CLOSED"));

    queue("second.bin", PatternBytes(100, 9));
    const double before = b.clock.nowSerial();
    b.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return b.engine->Queue().item(1).status() != "B"; }, 20000));
    EXPECT_EQ(b.engine->Queue().item(1).status(), "W");
    EXPECT_EQ(b.engine->Queue().item(1).statusText(), "Retry Wait No Address");
    EXPECT_TRUE(b.LogHas("Cannot retrieve IP for alice"));
    double next = 0;
    ASSERT_TRUE(ParseDateSerial(b.engine->Queue().item(1).nextTry(), next));
    EXPECT_NEAR((next - before) * 1440.0, 30.0, 0.01);
}
