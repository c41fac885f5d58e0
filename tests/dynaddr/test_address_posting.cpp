// The posting control: the open page when communications start, the closed page at shutdown,
// the log lines and flags, and a shutdown that never waits for ever. Against the FTP server from
// Debian's packages and the scripted server, alone and inside the engine.
#include "FtpFixture.h"
#include "core/TransferLog.h"
#include "dynaddr/AddressPage.h"
#include "dynaddr/AddressPosting.h"
#include "transfer/Engine.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

QByteArray ReadFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

Preferences DynamicPrefs(int ftpPort, const QByteArray &password = "secret", int listenPort = 4444)
{
    Preferences p;
    p.AddressType = AddressKind::Dynamic;
    p.FtpUrl = "ftp://127.0.0.1:" + QByteArray::number(ftpPort) + "/me.html";
    p.FtpLogin = "user";
    p.FtpPassword = password;
    p.ListenPort = listenPort;
    return p;
}

// The texts of the log lines, without their date and time.
QList<QByteArray> Texts(const QByteArray &screen)
{
    QList<QByteArray> texts;
    for (const QByteArray &line : screen.split('\n')) {
        const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
        if (l.isEmpty())
            continue;
        // The short date may hold blanks of its own; the time is the first "hh:mm " after it.
        static const QRegularExpression stamp(QStringLiteral("^.*? \\d\\d:\\d\\d "));
        const QRegularExpressionMatch m = stamp.match(QString::fromLatin1(l));
        texts << (m.hasMatch() ? l.mid(m.capturedLength()) : l);
    }
    return texts;
}

struct PostingFixture {
    PostingFixture()
    {
        QObject::connect(&posting, &AddressPosting::SideClosed, [this] { ++sideClosed; });
    }
    QList<QByteArray> Lines() const { return Texts(log.ScreenText()); }
    bool WaitLine(const QByteArray &text, int timeoutMs = 15000)
    {
        return WaitFor([&] { return Lines().contains(text); }, timeoutMs);
    }

    FakeClock clock;
    RecordingPrompt prompt;
    TransferLog log{clock};
    AddressPosting posting{clock, log, prompt};
    int sideClosed = 0;
};

} // namespace

TEST(AddressPosting, PostsTheOpenPageThenTheClosedPageAtShutdown)
{
    ScratchDir dir;
    const QString home = MakeFolder(dir.path(), "home");
    LocalServer server;
    ASSERT_TRUE(StartFtpServer(server, home, "user", "secret")) << server.Output().constData();
    PostingFixture f;
    const Preferences prefs = DynamicPrefs(server.Port());

    f.posting.StartAddressUpload(prefs);
    EXPECT_TRUE(f.posting.FtpBusy());
    EXPECT_TRUE(f.posting.UploadRunning());
    ASSERT_TRUE(f.WaitLine("IP Address Successfully Updated")) << f.posting.Client().Diagnostics().constData();
    EXPECT_EQ(f.Lines(), (QList<QByteArray>{"Starting Upload of Dynamic IP Page", "Remote FTP Site Connected",
                                            "IP Address Successfully Updated"}));
    EXPECT_TRUE(f.posting.AddressPosted());
    EXPECT_FALSE(f.posting.FtpBusy());
    EXPECT_FALSE(f.posting.UploadRunning());
    EXPECT_EQ(ReadFile(home + "/me.html"),
              StoredByDebianServer(BuildAddressPage("GO", "127.0.0.1", ShortDate(f.clock.now()),
                                                    ShortTime(f.clock.now()), 4444)));

    f.posting.BeginShutdown(prefs);
    EXPECT_FALSE(f.posting.DynamicSideClosed());
    ASSERT_TRUE(WaitFor([&] { return f.sideClosed == 1; })) << f.posting.Client().Diagnostics().constData();
    EXPECT_EQ(f.Lines().mid(3), (QList<QByteArray>{"Closing Dynamic IP", "Starting Close of Dynamic IP Page",
                                                   "Remote FTP Site Connected", "IP Address Successfully Closed"}));
    EXPECT_TRUE(f.posting.DynamicSideClosed());
    EXPECT_EQ(ReadFile(home + "/me.html"), "<HTML>\r<P>Parcelwise Page\r<P>CLOSED\r</HTML>");
    EXPECT_EQ(f.prompt.beeps, 0);
}

TEST(AddressPosting, FailuresAreLoggedWithTheirDiagnosticAndBeep)
{
    ScratchDir dir;
    LocalServer server;
    ASSERT_TRUE(StartFtpServer(server, MakeFolder(dir.path(), "home"), "user", "secret"));
    const struct {
        int port;
        const char *password;
        QList<QByteArray> lines;
        bool tls = false;
    } rows[] = {
        {server.Port(), "wrong",
         {"Starting Upload of Dynamic IP Page", "Remote FTP Site Connected", "FTP Diagnostic - 530 Incorrect Login",
          "Error on IP Update - Please try again"}},
        {FreeLoopbackPort(), "secret",
         {"Starting Upload of Dynamic IP Page", "FTP Diagnostic - 801 Connection refused",
          "Error on IP Update - Please try again"}},
        // An "ftpes://" site whose server has no TLS.
        {server.Port(), "secret",
         {"Starting Upload of Dynamic IP Page", "Remote FTP Site Connected", "FTP Diagnostic - 855 AUTH TLS refused",
          "Error on IP Update - Please try again"},
         true},
    };
    for (const auto &row : rows) {
        PostingFixture f;
        Preferences prefs = DynamicPrefs(row.port, row.password);
        if (row.tls)
            prefs.FtpUrl.replace("ftp://", "ftpes://");
        f.posting.StartAddressUpload(prefs);
        ASSERT_TRUE(f.WaitLine("Error on IP Update - Please try again"));
        EXPECT_EQ(f.Lines(), row.lines);
        EXPECT_EQ(f.prompt.beeps, 1);
        EXPECT_FALSE(f.posting.AddressPosted());
        EXPECT_FALSE(f.posting.FtpBusy());
        // Nothing was posted: the shutdown has nothing to close.
        f.posting.BeginShutdown(prefs);
        EXPECT_TRUE(f.posting.DynamicSideClosed());
        EXPECT_EQ(f.Lines().size(), row.lines.size());
    }
}

TEST(AddressPosting, MissingSettingsAreNamedInOrderAndNothingStarts)
{
    const struct {
        const char *url, *login, *password, *line;
    } rows[] = {
        {"", "", "", "No Dynamic IP FTP URL Given"},
        {"", "u", "p", "No Dynamic IP FTP URL Given"},
        {"ftp://h/p", "", "", "No Dynamic IP FTP Login Given"},
        {"ftp://h/p", "u", "", "No Dynamic IP FTP Password Given"},
    };
    for (const auto &row : rows) {
        PostingFixture f;
        Preferences prefs = DynamicPrefs(21);
        prefs.FtpUrl = row.url;
        prefs.FtpLogin = row.login;
        prefs.FtpPassword = row.password;
        f.posting.StartAddressUpload(prefs);
        EXPECT_EQ(f.Lines(), QList<QByteArray>{row.line}) << row.line;
        EXPECT_FALSE(f.posting.FtpBusy());
        EXPECT_FALSE(f.posting.Client().Busy());
        f.posting.BeginShutdown(prefs);
        EXPECT_EQ(f.sideClosed, 1);
    }
}

TEST(AddressPosting, RefusedParametersAndTheHighPortNoteOnce)
{
    PostingFixture f;
    Preferences prefs = DynamicPrefs(21, "secret", 40000);
    prefs.FtpUrl = "ftp://127.0.0.1"; // no "/" after the host
    f.posting.StartAddressUpload(prefs);
    ASSERT_TRUE(f.WaitLine("Error on IP Update - Please try again"));
    f.posting.StartAddressUpload(prefs);
    ASSERT_TRUE(WaitFor([&] { return f.Lines().count("Error on IP Update - Please try again") == 2; }));
    const QByteArray note = "Port 40000 is above 32767: installations that read the page's port as a 16-bit number "
                            "cannot use it";
    EXPECT_EQ(f.Lines(), (QList<QByteArray>{note, "Starting Upload of Dynamic IP Page", "FTP Diagnostic - 899 User Abort",
                                            "Error on IP Update - Please try again",
                                            "Starting Upload of Dynamic IP Page", "FTP Diagnostic - 899 User Abort",
                                            "Error on IP Update - Please try again"}));
    EXPECT_EQ(f.prompt.beeps, 2);
}

TEST(AddressPosting, ShutdownDuringTheUploadAbortsIt)
{
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "silent"));
    PostingFixture f;
    const Preferences prefs = DynamicPrefs(server.Port());
    f.posting.StartAddressUpload(prefs);
    ASSERT_TRUE(f.WaitLine("Remote FTP Site Connected"));
    f.posting.StartAddressUpload(prefs); // kept for the end of this posting, then dropped by the shutdown
    EXPECT_TRUE(f.posting.RepostPending());
    f.posting.BeginShutdown(prefs);
    EXPECT_FALSE(f.posting.RepostPending());
    EXPECT_TRUE(f.posting.AbortFtpRequested());
    EXPECT_FALSE(f.posting.Client().Busy());
    ASSERT_TRUE(WaitFor([&] { return f.sideClosed == 1; }, 2000));
    EXPECT_EQ(f.Lines(), (QList<QByteArray>{"Starting Upload of Dynamic IP Page", "Remote FTP Site Connected",
                                            "Aborting FTP Connect", "FTP Diagnostic - 884 Abort",
                                            "Error on IP Update - Please try again"}));
    EXPECT_FALSE(f.posting.AddressPosted());
    // Nothing starts after the shutdown.
    f.posting.StartAddressUpload(prefs);
    EXPECT_FALSE(f.posting.FtpBusy());
}

TEST(AddressPosting, CloseThatCannotStartOrStallsStillLetsTheProcessEnd)
{
    ScratchDir dir;
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "late", {"--store", dir.file("stored")}));
    LocalServer silent;
    ASSERT_TRUE(StartScriptedFtpServer(silent, "silent"));

    // The password was emptied after the page was posted: the close cannot start.
    {
        PostingFixture f;
        Preferences prefs = DynamicPrefs(server.Port());
        f.posting.StartAddressUpload(prefs);
        ASSERT_TRUE(f.WaitLine("IP Address Successfully Updated"));
        prefs.FtpPassword.clear();
        f.posting.BeginShutdown(prefs);
        EXPECT_EQ(f.sideClosed, 1);
        EXPECT_EQ(f.Lines().mid(3), (QList<QByteArray>{"Closing Dynamic IP", "No Dynamic IP FTP Password Given"}));
    }
    // The close meets a server that never answers: the client's watchdog ends it.
    {
        PostingFixture f;
        Preferences prefs = DynamicPrefs(server.Port());
        f.posting.StartAddressUpload(prefs);
        ASSERT_TRUE(f.WaitLine("IP Address Successfully Updated"));
        prefs = DynamicPrefs(silent.Port());
        f.posting.BeginShutdown(prefs);
        ASSERT_TRUE(WaitFor([&] { return f.Lines().count("Remote FTP Site Connected") == 2; }));
        EXPECT_EQ(f.sideClosed, 0);
        f.clock.advanceSeconds(60);
        f.posting.Client().WatchdogTick();
        ASSERT_TRUE(WaitFor([&] { return f.sideClosed == 1; }, 2000));
        EXPECT_EQ(f.Lines().mid(3), (QList<QByteArray>{"Closing Dynamic IP", "Starting Close of Dynamic IP Page",
                                                       "Remote FTP Site Connected", "FTP Diagnostic - 812 ",
                                                       "Error on IP Update - Please try again"}));
    }
}

// The engine posts when communications start and waits for the closed page before it ends.
TEST(AddressPosting, EnginePostsAtStartAndClosesBeforeTheProcessEnds)
{
    ScratchDir dir;
    const QString home = MakeFolder(dir.path(), "home");
    LocalServer server;
    ASSERT_TRUE(StartFtpServer(server, home, "user", "secret"));
    const QString folder = MakeFolder(dir.path(), "program");
    FakeClock clock;
    RecordingPrompt prompt;
    Engine e(folder, clock, prompt);
    e.InitGlobals();
    EXPECT_EQ(e.NextDataPort(), 1555);
    e.Prefs = DynamicPrefs(server.Port(), "secret", FreeLoopbackPort());
    e.SetOwnAddress("127.0.0.1");
    e.MainWindowLoad();
    int quitReady = 0;
    QObject::connect(&e, &Engine::QuitReady, [&] { ++quitReady; });

    e.StartChannels();
    ASSERT_TRUE(WaitFor([&] { return e.Posting().AddressPosted(); })) << e.Posting().Client().Diagnostics().constData();
    EXPECT_TRUE(ReadFile(home + "/me.html").contains("<P>PORT=" + QByteArray::number(e.Prefs.ListenPort) + "\r"));
    EXPECT_GT(e.NextDataPort(), 1555);

    e.BeginShutdown();
    EXPECT_TRUE(e.ShutdownStepsDone);
    e.QuitTimerTick(); // the closed page is still on its way
    EXPECT_FALSE(e.MayUnload);
    ASSERT_TRUE(WaitFor([&] { return e.DynamicSideClosed(); })) << e.Posting().Client().Diagnostics().constData();
    e.QuitTimerTick();
    EXPECT_TRUE(e.MayUnload);
    EXPECT_EQ(quitReady, 1);
    EXPECT_EQ(ReadFile(home + "/me.html"), "<HTML>\r<P>Parcelwise Page\r<P>CLOSED\r</HTML>");
    const QList<QByteArray> lines = Texts(e.Log().ScreenText());
    const qsizetype closing = lines.indexOf("Closing down program");
    ASSERT_GE(closing, 0);
    EXPECT_EQ(lines.mid(closing, 3),
              (QList<QByteArray>{"Closing down program", "Closing Dynamic IP", "Starting Close of Dynamic IP Page"}));
    EXPECT_TRUE(lines.mid(closing).contains("IP Address Successfully Closed"));
}

TEST(AddressPosting, EngineShutdownDuringAStalledUploadEndsPromptly)
{
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "silent"));
    ScratchDir dir;
    FakeClock clock;
    RecordingPrompt prompt;
    Engine e(dir.path(), clock, prompt);
    e.InitGlobals();
    e.Prefs = DynamicPrefs(server.Port(), "secret", FreeLoopbackPort());
    e.SetOwnAddress("127.0.0.1");
    e.MainWindowLoad();
    e.StartChannels();
    ASSERT_TRUE(WaitFor([&] { return e.Log().ScreenText().contains("Remote FTP Site Connected"); }));

    e.BeginShutdown();
    EXPECT_TRUE(e.AbortFtpRequested());
    ASSERT_TRUE(WaitFor([&] { return e.DynamicSideClosed(); }, 2000));
    e.QuitTimerTick();
    EXPECT_TRUE(e.MayUnload);
    const QList<QByteArray> lines = Texts(e.Log().ScreenText());
    EXPECT_TRUE(lines.contains("Aborting FTP Connect"));
    EXPECT_TRUE(lines.contains("FTP Diagnostic - 884 Abort"));
    EXPECT_LT(lines.indexOf("Aborting FTP Connect"), lines.indexOf("FTP Diagnostic - 884 Abort"));
}

// A posting asked for while one runs (a new port saved, a new outside address) follows it with
// the latest settings, whether the running one succeeded or failed.
TEST(AddressPosting, RepostAskedForDuringAPostingFollowsItWithTheNewSettings)
{
    const struct {
        QStringList serverArguments;
        QList<QByteArray> lines;
    } rows[] = {
        {{},
         {"Starting Upload of Dynamic IP Page", "Remote FTP Site Connected", "IP Address Successfully Updated",
          "Starting Upload of Dynamic IP Page", "Remote FTP Site Connected", "IP Address Successfully Updated"}},
        {{"--fail-first"},
         {"Starting Upload of Dynamic IP Page", "Remote FTP Site Connected", "FTP Diagnostic - 421 ",
          "Error on IP Update - Please try again", "Starting Upload of Dynamic IP Page", "Remote FTP Site Connected",
          "IP Address Successfully Updated"}},
    };
    for (const auto &row : rows) {
        ScratchDir dir;
        LocalServer server;
        ASSERT_TRUE(StartScriptedFtpServer(server, "late", QStringList{"--store", dir.file("stored")} +
                                                               row.serverArguments));
        PostingFixture f;
        f.posting.StartAddressUpload(DynamicPrefs(server.Port(), "secret", 4444));
        f.posting.StartAddressUpload(DynamicPrefs(server.Port(), "secret", 5000));
        f.posting.StartAddressUpload(DynamicPrefs(server.Port(), "secret", 5555));
        EXPECT_TRUE(f.posting.RepostPending());
        ASSERT_TRUE(WaitFor([&] { return f.Lines().size() == row.lines.size() && !f.posting.FtpBusy(); }))
            << f.posting.Client().Diagnostics().constData();
        Pump(200);
        EXPECT_EQ(f.Lines(), row.lines);
        EXPECT_FALSE(f.posting.RepostPending());
        EXPECT_TRUE(f.posting.AddressPosted());
        EXPECT_TRUE(ReadFile(dir.file("stored")).contains("<P>PORT=5555\r")) << ReadFile(dir.file("stored")).constData();
    }

    // The page may name another address and port than the connection's own and the receive port.
    ScratchDir dir;
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "late", {"--store", dir.file("stored")}));
    PostingFixture f;
    f.posting.SetPageAddress("203.0.113.7", 61000);
    f.posting.StartAddressUpload(DynamicPrefs(server.Port()));
    ASSERT_TRUE(f.WaitLine("IP Address Successfully Updated"));
    EXPECT_EQ(ReadFile(dir.file("stored")), BuildAddressPage("GO", "203.0.113.7", ShortDate(f.clock.now()),
                                                             ShortTime(f.clock.now()), 61000));
}

// A shutdown that comes after the upload has ended but before its record was taken in still
// sees a posted page, and closes it.
TEST(AddressPosting, ShutdownRightAfterTheUploadEndedPostsTheClosedPage)
{
    ScratchDir dir;
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "late", {"--store", dir.file("stored")}));
    PostingFixture f;
    const Preferences prefs = DynamicPrefs(server.Port());
    bool shutDown = false;
    // Runs in the same turn as the client's DONE record, before the posting has handled it.
    QObject::connect(&f.posting.Client(), &FtpUpload::Record, [&](const FtpRecord &record) {
        if (record.Word == FtpWord::Done && !shutDown) {
            shutDown = true;
            f.posting.BeginShutdown(prefs);
        }
    });
    f.posting.StartAddressUpload(prefs);
    ASSERT_TRUE(WaitFor([&] { return f.sideClosed == 1; })) << f.posting.Client().Diagnostics().constData();
    EXPECT_EQ(f.Lines(), (QList<QByteArray>{"Starting Upload of Dynamic IP Page", "Remote FTP Site Connected",
                                            "IP Address Successfully Updated", "Closing Dynamic IP",
                                            "Starting Close of Dynamic IP Page", "Remote FTP Site Connected",
                                            "IP Address Successfully Closed"}));
    EXPECT_FALSE(f.posting.AbortFtpRequested());
    EXPECT_EQ(ReadFile(dir.file("stored")), "<HTML>\r<P>Parcelwise Page\r<P>CLOSED\r</HTML>\r");
}
