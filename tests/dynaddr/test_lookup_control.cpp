// A send to an addressee with a dynamic address: the lookup of its page on a real web server
// leads straight to the connection, a page without an address to "420" and the retry wait, and
// shutdown cuts a running lookup off.
#include "../transfer/EngineHarness.h"
#include "LocalServers.h"
#include "core/FileOps.h"
#include "dynaddr/AddressPage.h"
#include "dynaddr/HttpLookup.h"

#include <gtest/gtest.h>

namespace {

struct DynamicPair {
    EngineHarness rx{2, 0};
    EngineHarness tx{1, 1};
    ScratchDir web;
    LocalServer nginx;

    DynamicPair()
    {
        rx.AddUser({"alice", "pw1", "", "", "S", "", "4444"});
        rx.Start();
        tx.Start();
    }
    bool StartWeb()
    {
        return StartNginx(nginx, MakeFolder(web.path(), "nginx"), MakeFolder(web.path(), "www"));
    }
    QByteArray PageUrl() const { return "http://127.0.0.1:" + QByteArray::number(nginx.Port()) + "/alice.html"; }
    void Queue(const QByteArray &name, const QByteArray &content)
    {
        tx.dir.write(QString::fromLatin1(name), content);
        tx.engine->AddQueueItems({QueueModel::MakeNewItem(
            "bob", name, tx.dir.file(QString::fromLatin1(name)).toLocal8Bit(), "hi", tx.clock.nowSerial())});
    }
    QueueItem Row(int row) const { return tx.engine->Queue().item(row); }
};

} // namespace

TEST(LookupControl, PageLeadsToTheSendAndNoAddressToTheRetryWait)
{
    DynamicPair p;
    ASSERT_TRUE(p.StartWeb()) << p.nginx.Output().constData();
    p.web.write("www/alice.html", BuildAddressPage("GO", "127.0.0.1", "10/12/2026", "09:30", p.rx.port));
    p.tx.AddUser({"bob", "x", "alice", "pw1", "D", p.PageUrl(), ""});

    // The engine acts on the result in the same turn of the event loop that brings it.
    std::optional<SendState> stateAtResult;
    QObject::connect(&p.tx.engine->Lookup(), &AddressLookup::Finished,
                     [&](int, const LookupResult &) { stateAtResult = p.tx.engine->Senders()[0].State; });

    const QByteArray data = PatternBytes(70000, 3);
    p.Queue("one.bin", data);
    p.tx.engine->QueueTick();
    const SendChannel &sc = p.tx.engine->Senders()[0];
    EXPECT_EQ(sc.Letter, SendLetter::Waiting);
    EXPECT_EQ(sc.State, SendState::Taken);
    EXPECT_TRUE(p.tx.LogHas("Starting IP Check For bob"));
    ASSERT_TRUE(WaitFor([&] { return p.Row(0).status() != "B"; }));
    EXPECT_EQ(stateAtResult, SendState::Connecting);
    EXPECT_EQ(p.Row(0).status(), "S");
    ASSERT_TRUE(WaitFor([&] { return p.rx.LogHas("alice successfully sent one.bin"); }));
    EXPECT_EQ(ReadWholeFile(p.rx.Downloads("one.bin")), data);
    EXPECT_TRUE(p.tx.LogHas("Address for bob is 127.0.0.1:" + QByteArray::number(p.rx.port)));

    p.web.write("www/alice.html", BuildAddressPage("CLOSE", "", "", "", 0));
    p.Queue("two.bin", PatternBytes(100, 4));
    const double before = p.tx.clock.nowSerial();
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.Row(1).status() != "B"; }));
    EXPECT_EQ(p.Row(1).status(), "W");
    EXPECT_EQ(p.Row(1).statusText(), "Retry Wait No Address");
    EXPECT_TRUE(p.tx.LogHas("Cannot retrieve IP for bob"));
    double next = 0;
    ASSERT_TRUE(ParseDateSerial(p.Row(1).nextTry(), next));
    EXPECT_NEAR((next - before) * 1440.0, 30.0, 0.01);
    EXPECT_EQ(sc.Letter, SendLetter::Idle);
}

TEST(LookupControl, ShutdownDuringALookupCutsItOff)
{
    DynamicPair p;
    p.web.write("response", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n");
    LocalServer hanging;
    ASSERT_TRUE(StartScriptedWebServer(hanging, p.web.file("response"), {}, true));
    p.tx.AddUser({"bob", "x", "alice", "pw1", "D", "http://127.0.0.1:" + QByteArray::number(hanging.Port()) + "/a.html", ""});
    p.Queue("one.bin", PatternBytes(100, 4));
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.tx.engine->Lookup().Client(0).Reader().HeadersDone(); }));
    p.tx.engine->BeginShutdown();
    EXPECT_TRUE(p.tx.LogHas("Closing Dynamic IP URL Check  0"));
    EXPECT_FALSE(p.tx.engine->Lookup().Client(0).Busy());
    EXPECT_EQ(p.Row(0).statusText(), "Retry Wait Abort");
    EXPECT_FALSE(p.tx.LogHas("Cannot retrieve IP for bob"));
}

TEST(LookupControl, ThePageNamesWhereFailuresWereTriedAndTooLongRequestsAskNoPage)
{
    DynamicPair p;
    ASSERT_TRUE(p.StartWeb()) << p.nginx.Output().constData();
    // The page names a port where nobody listens: the failure says which address was tried.
    const int closed = FreeLoopbackPort();
    p.web.write("www/alice.html", BuildAddressPage("GO", "127.0.0.1", "10/12/2026", "09:30", closed));
    p.tx.AddUser({"bob", "x", "alice", "pw1", "D", p.PageUrl(), ""});
    p.Queue("one.bin", PatternBytes(100, 5));
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.Row(0).status() != "B"; }));
    EXPECT_EQ(p.Row(0).statusText(), "Retry Wait 10061");
    const QByteArray suffix = " (127.0.0.1:" + QByteArray::number(closed) + ")";
    bool named = false;
    for (const QByteArray &line : p.tx.engine->Log().ScreenText().split('\n'))
        named = named || (line.contains("bob") && line.trimmed().endsWith(suffix));
    EXPECT_TRUE(named) << p.tx.engine->Log().ScreenText().constData();

    // A message that makes the request too long for any receiver ends before the page is asked.
    p.tx.dir.write("two.bin", PatternBytes(100, 6));
    p.tx.engine->AddQueueItems({QueueModel::MakeNewItem("bob", "two.bin", p.tx.dir.file("two.bin").toLocal8Bit(),
                                                        QByteArray(70000, 'm'), p.tx.clock.nowSerial())});
    const int startsBefore = static_cast<int>(p.tx.engine->Log().ScreenText().count("Starting IP Check For bob"));
    p.tx.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return p.Row(1).status() != "Q" && p.Row(1).status() != "B"; }));
    EXPECT_EQ(p.Row(1).statusText(), "Error: Request Too Long");
    EXPECT_EQ(p.tx.engine->Log().ScreenText().count("Starting IP Check For bob"), startsBefore);
}
