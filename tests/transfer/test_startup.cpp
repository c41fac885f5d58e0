// Start-up in a fresh or prepared folder, the orderly shutdown and its log lines, the quit
// timer, one instance per program folder, and termination signals.
#include "../core/FileSizeLimit.h"
#include "EngineHarness.h"
#include "core/SingleInstance.h"
#include "core/TermSignals.h"
#include "core/UserPrompt.h"

#include <gtest/gtest.h>
#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QList<QByteArray> ShutdownLines = {
    "Closing down program", "Closing Outgoing Connections", "Closing Incoming Connections",
    "Closing Queue",        "Deleting Temporary Files",     "Closing Logs",
    "Cleaning Up"};

QByteArray ReadFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The texts of the log lines from `from` on, without their date and time.
QList<QByteArray> LoggedTexts(const QByteArray &screen, const QDateTime &at, qsizetype from = 0)
{
    const QByteArray stamp = ShortDate(at) + ' ' + ShortTime(at) + ' ';
    QList<QByteArray> texts;
    for (const QByteArray &line : screen.mid(from).split('\n')) {
        if (line.isEmpty())
            continue;
        EXPECT_TRUE(line.startsWith(stamp) && line.endsWith('\r')) << line.constData();
        texts << line.mid(stamp.size()).chopped(1);
    }
    return texts;
}

TEST(Startup, FirstStartInAnEmptyFolder)
{
    ScratchDir dir;
    FakeClock clock;
    RecordingPrompt prompt;
    Engine engine(dir.path(), clock, prompt);
    engine.Prefs.ListenPort = 1; // must be replaced by the defaults
    engine.InitGlobals();

    const QDir root(dir.path());
    for (const char *folder : {"Parcelwise_Downloads", "Parcelwise_Logs", "Temporary_Files/Temp0",
                               "Temporary_Files/Temp1", "Temporary_Files/Temp2", "Temporary_Files/Temp3"})
        EXPECT_TRUE(QFileInfo(root.filePath(folder)).isDir()) << folder;
    EXPECT_EQ(engine.Paths().ProgramFolder, dir.path());
    EXPECT_EQ(engine.Paths().LookupTempFolder[2], root.filePath("Temporary_Files/Temp2"));
    EXPECT_EQ(engine.Prefs.ListenPort, 4444);
    EXPECT_EQ(engine.Prefs.ReceiveChannels, 2);
    EXPECT_EQ(engine.Prefs.SendChannels, 1);
    EXPECT_EQ(engine.Prefs.AddressType, AddressKind::Static);
    EXPECT_TRUE(engine.Prefs.FtpUrl.isEmpty() && engine.Prefs.FtpLogin.isEmpty() && engine.Prefs.FtpPassword.isEmpty());
    EXPECT_EQ(engine.NextDataPort(), 1555);
    EXPECT_TRUE(engine.Users.isEmpty());
    // Start-up itself writes one file, the installation's key; otherwise only folders.
    EXPECT_TRUE(QDir(engine.Paths().LogsFolder).isEmpty());
    EXPECT_EQ(root.entryList(QDir::Files | QDir::Hidden), QStringList{"Parcelwise_Key"});
    EXPECT_EQ(QFileInfo(root.filePath("Parcelwise_Key")).permissions() & 0x0077, QFileDevice::Permissions());
    EXPECT_TRUE(engine.Trust().CanEncrypt());

    engine.SetOwnAddress("127.0.0.1");
    engine.MainWindowLoad();
    EXPECT_EQ(engine.VersionText, "Version 1.0");
    EXPECT_FALSE(engine.ShuttingDown);
    EXPECT_TRUE(engine.Log().LogFileOpen());
    EXPECT_TRUE(engine.Log().MessageFileOpen());
    EXPECT_EQ(QDir(engine.Paths().LogsFolder).entryList(QDir::Files, QDir::Name),
              (QStringList{TransferLog::LogFileName(clock.now()), TransferLog::MessageFileName(clock.now())}));
    EXPECT_EQ(prompt.messages, QStringList{});
}

TEST(Startup, KeepsExistingFoldersAndReadsPrefsThenUsers)
{
    ScratchDir dir;
    QDir(dir.path()).mkpath("Parcelwise_Downloads");
    dir.write("Parcelwise_Downloads/half.bin", "partial");
    dir.write("Parcelwise_Prefs", "PO5000\rRE0\rSE3\rSDS\rFLme\r");
    const UserList users{MakeUserRecord({"ann", "pw", "me", "x", "S", "10.0.0.9", "4444"}),
                         MakeUserRecord({"bob", "pw2", "me", "y", "D", "http://h/p.html", "4444"})};
    dir.write("Parcelwise_Users", EncodeUsers(users));

    FakeClock clock;
    RecordingPrompt prompt;
    Engine engine(dir.path(), clock, prompt);
    engine.InitGlobals();
    EXPECT_EQ(dir.read("Parcelwise_Downloads/half.bin"), "partial");
    EXPECT_EQ(engine.Prefs.ListenPort, 5000);
    EXPECT_EQ(engine.Prefs.ReceiveChannels, 1); // 0 receive channels is raised to 1
    EXPECT_EQ(engine.Prefs.SendChannels, 3);
    EXPECT_EQ(engine.Prefs.FtpLogin, "me");
    EXPECT_EQ(engine.Users, users);

    engine.SetOwnAddress("127.0.0.1");
    engine.MainWindowLoad();
    const ReceiveLetter rx[] = {ReceiveLetter::Unstarted, ReceiveLetter::Disabled, ReceiveLetter::Disabled,
                                ReceiveLetter::Disabled};
    const SendLetter tx[] = {SendLetter::Idle, SendLetter::Idle, SendLetter::Idle, SendLetter::Disabled};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(engine.Receivers()[i].Letter, rx[i]) << i;
        EXPECT_EQ(engine.Senders()[i].Letter, tx[i]) << i;
    }
}

TEST(Shutdown, StepsAreLoggedInOrderThenTheQuitTimerEnds)
{
    EngineHarness h;
    h.Start();
    Engine &e = *h.engine;
    ASSERT_TRUE(e.TimersRunning());
    e.Log().AddReceivedMessage(h.clock.now(), "bob", "hi");
    int quitReady = 0;
    QObject::connect(&e, &Engine::QuitReady, [&quitReady] { ++quitReady; });

    const qsizetype before = e.Log().ScreenText().size();
    e.BeginShutdown();
    EXPECT_EQ(LoggedTexts(e.Log().ScreenText(), h.clock.now(), before), ShutdownLines);
    EXPECT_TRUE(e.ShuttingDown);
    EXPECT_TRUE(e.ShutdownStepsDone);
    EXPECT_TRUE(e.DynamicSideClosed()); // static address: nothing to close on that side
    EXPECT_FALSE(e.MayUnload);

    // A second quit command runs no step twice.
    e.BeginShutdown();
    EXPECT_EQ(LoggedTexts(e.Log().ScreenText(), h.clock.now(), before), ShutdownLines);

    // The quit timer waits as long as the dynamic-address side has not closed: here the
    // posting is put back into its state before any shutdown, as while a closed page is on its way.
    e.Posting().Reset();
    ASSERT_FALSE(e.DynamicSideClosed());
    e.QuitTimerTick();
    EXPECT_FALSE(e.MayUnload);
    EXPECT_EQ(quitReady, 0);
    EXPECT_TRUE(e.Log().LogFileOpen());
    e.Posting().BeginShutdown(e.Prefs); // static address: the side closes at once
    ASSERT_TRUE(e.DynamicSideClosed());
    e.QuitTimerTick();
    EXPECT_TRUE(e.MayUnload);
    EXPECT_EQ(quitReady, 1);
    EXPECT_FALSE(e.Log().LogFileOpen());
    EXPECT_FALSE(e.Log().MessageFileOpen());
    EXPECT_FALSE(e.TimersRunning());
    EXPECT_EQ(e.ListeningPort(), 0);

    // The day's files: the log file ends with the same lines, the messages went to the message file.
    const QDir logs(e.Paths().LogsFolder);
    const QByteArray logFile = ReadFile(logs.filePath(TransferLog::LogFileName(h.clock.now())));
    EXPECT_TRUE(logFile.endsWith(e.Log().ScreenText().mid(before))) << logFile.constData();
    EXPECT_EQ(ReadFile(logs.filePath(TransferLog::MessageFileName(h.clock.now()))),
              e.Log().ReceivedMessages() + "\r\n");
    EXPECT_TRUE(e.Log().ReceivedMessages().contains("bob\r\nhi\r\n"));
}

namespace {

// A loaded engine whose quit timer runs at the given interval, and whether it said it may quit.
struct QuittingEngine {
    explicit QuittingEngine(int quitTimerMs)
    {
        TimerIntervals intervals;
        intervals.QuitTimer = quitTimerMs;
        engine = std::make_unique<Engine>(dir.path(), clock, prompt, intervals);
        engine->InitGlobals();
        engine->SetOwnAddress("127.0.0.1");
        engine->MainWindowLoad();
        QObject::connect(engine.get(), &Engine::QuitReady, [this] { ready = true; });
    }
    ScratchDir dir;
    FakeClock clock;
    RecordingPrompt prompt;
    std::unique_ptr<Engine> engine;
    bool ready = false;
};

} // namespace

TEST(Shutdown, RepeatedQuitKeepsTheQuitTimersPhase)
{
    // Quit commands coming faster than the quit timer's interval must not put the exit off.
    QuittingEngine q(200);
    q.engine->BeginShutdown();
    const qsizetype steps = q.engine->Log().ScreenText().size();
    EXPECT_TRUE(WaitFor([&] {
        q.engine->BeginShutdown();
        Pump(20);
        return q.ready;
    }, 5000));
    EXPECT_EQ(q.engine->Log().ScreenText().size(), steps);
}

TEST(Shutdown, EndsOnTheTurnAfterTheStepsAndTheAddressSideNotOnTheQuitTimer)
{
    // A quit timer of a minute never fires within these waits: the end comes from the steps and
    // the dynamic-address side being done.
    QuittingEngine q(60000);
    q.engine->BeginShutdown();
    EXPECT_FALSE(q.ready); // not before the event loop's next turn
    EXPECT_TRUE(WaitFor([&] { return q.ready; }, 1000));
    EXPECT_TRUE(q.engine->MayUnload);

    // While the side is still closing (the posting put back as before any shutdown) nothing ends;
    // its SideClosed ends the shutdown on the next turn.
    QuittingEngine d(60000);
    d.engine->BeginShutdown();
    d.engine->Posting().Reset();
    Pump(100);
    EXPECT_FALSE(d.ready);
    EXPECT_FALSE(d.engine->MayUnload);
    d.engine->Posting().BeginShutdown(d.engine->Prefs);
    EXPECT_TRUE(WaitFor([&] { return d.ready; }, 1000));
}

TEST(Shutdown, QuitTimerRunsAfterBeginShutdown)
{
    QuittingEngine q(10);
    q.engine->BeginShutdown();
    EXPECT_TRUE(WaitFor([&] { return q.ready; }, 5000));
    EXPECT_TRUE(q.engine->MayUnload);
}

// Every file and folder under a folder, with its bytes and modification time.
std::map<QString, std::pair<QByteArray, qint64>> Snapshot(const QString &folder)
{
    std::map<QString, std::pair<QByteArray, qint64>> seen;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QByteArray bytes;
        if (info.isFile()) {
            QFile f(path);
            if (f.open(QIODevice::ReadOnly))
                bytes = f.readAll();
        }
        seen[QDir(folder).relativeFilePath(path)] = {bytes, info.lastModified().toMSecsSinceEpoch()};
    }
    return seen;
}

TEST(SingleInstance, SecondStartInTheSameFolderIsRefusedAndTouchesNothing)
{
    ScratchDir a, b;
    QDir(a.path()).mkpath("Parcelwise_Logs");
    QDir(a.path()).mkpath("Temporary_Files/Temp0");
    a.write("Parcelwise_Prefs", "PO5000\r");
    a.write("Parcelwise_Users", "0123456789ABCDEF");
    a.write("Parcelwise_Logs/Parcelwise_Log_x", "line\r\n");

    auto first = std::make_unique<SingleInstance>(a.path());
    ASSERT_EQ(first->Acquire(), SingleInstance::Result::Acquired);
    const auto before = Snapshot(a.path());
    {
        SingleInstance second(a.path());
        EXPECT_EQ(second.Acquire(), SingleInstance::Result::HeldByOther);
        EXPECT_EQ(second.Acquire(), SingleInstance::Result::HeldByOther);
    }
    EXPECT_EQ(Snapshot(a.path()), before);

    // Another installation runs side by side.
    SingleInstance other(b.path());
    EXPECT_EQ(other.Acquire(), SingleInstance::Result::Acquired);

    // Once the first instance ends the folder is free again.
    first.reset();
    SingleInstance next(a.path());
    EXPECT_EQ(next.Acquire(), SingleInstance::Result::Acquired);
}

TEST(SingleInstance, LockOfAnEndedProcessDoesNotBlock)
{
    ScratchDir dir;
    // A process number that belongs to no process, as after a crash.
    pid_t gone = 30000;
    while (gone > 2 && !(::kill(gone, 0) == -1 && errno == ESRCH))
        --gone;
    ASSERT_GT(gone, 2);
    // Whatever file the test uses to mark the folder, leave one behind as a crashed run would.
    QString lockName;
    {
        SingleInstance probe(dir.path());
        ASSERT_EQ(probe.Acquire(), SingleInstance::Result::Acquired);
        const QStringList names = QDir(dir.path()).entryList(QDir::Hidden | QDir::Files);
        ASSERT_EQ(names.size(), 1);
        lockName = names.first();
    }
    const QByteArray app = QCoreApplication::applicationName().toLocal8Bit();

    // Naming a live process (this one) it is respected...
    dir.write(lockName, QByteArray::number(::getpid()) + "\n" + app + "\n\n");
    EXPECT_EQ(SingleInstance(dir.path()).Acquire(), SingleInstance::Result::HeldByOther);
    // ...naming one that has ended it is taken over.
    dir.write(lockName, QByteArray::number(gone) + "\n" + app + "\n\n");
    SingleInstance instance(dir.path());
    EXPECT_EQ(instance.Acquire(), SingleInstance::Result::Acquired);
}

TEST(SingleInstance, AnUnusableFolderIsNoOtherInstance)
{
    ScratchDir dir;
    dir.write("plain", "x");
    const struct {
        QString folder;
        QByteArray reason;
    } cases[] = {
        {dir.file("missing"), "No such file or directory"},
        {dir.file("plain"), "Not a directory"},
    };
    for (const auto &c : cases) {
        SingleInstance instance(c.folder);
        EXPECT_EQ(instance.Acquire(), SingleInstance::Result::Failed) << c.reason.constData();
        EXPECT_EQ(instance.FailureText(),
                  "Cannot use the program folder " + QFile::encodeName(c.folder) + ": " + c.reason);
    }
    // Something else where the lock file goes is no other instance either.
    const QString blocked = dir.file("blocked");
    QDir().mkpath(blocked + "/.parcelwise.lock");
    SingleInstance instance(blocked);
    EXPECT_EQ(instance.Acquire(), SingleInstance::Result::Failed);
    EXPECT_EQ(instance.FailureText(), "Cannot use the program folder " + QFile::encodeName(blocked) +
                                          ": .parcelwise.lock in it is not a file");
}

struct SignalCase {
    int signal;
    const char *name;
};

TEST(TermSignals, SignalRunsTheOrderlyShutdown)
{
    for (const SignalCase c : {SignalCase{SIGTERM, "SIGTERM"}, SignalCase{SIGINT, "SIGINT"}}) {
        EngineHarness h;
        Engine &e = *h.engine;
        const qsizetype before = e.Log().ScreenText().size();
        {
            TermSignals handlers([&e] { e.BeginShutdown(); });
            struct sigaction current {};
            sigaction(c.signal, nullptr, &current);
            // Guard: without a handler the signal below would end the test run.
            ASSERT_NE(current.sa_handler, SIG_DFL) << c.name;
            ASSERT_NE(current.sa_handler, SIG_IGN) << c.name;

            ASSERT_EQ(std::raise(c.signal), 0);
            EXPECT_FALSE(e.ShuttingDown) << c.name << ": the work runs on the event loop, not in the handler";
            EXPECT_TRUE(WaitFor([&e] { return e.ShutdownStepsDone; }, 5000)) << c.name;
            EXPECT_EQ(LoggedTexts(e.Log().ScreenText(), h.clock.now(), before), ShutdownLines) << c.name;
        }
        struct sigaction restored {};
        sigaction(c.signal, nullptr, &restored);
        EXPECT_EQ(restored.sa_handler, SIG_DFL) << c.name;
    }
}

} // namespace

TEST(Startup, StartTimerWaitsForANetworkAddress)
{
    EngineHarness h; // its address is fixed at "127.0.0.1": no network
    h.engine->StartQTick();
    EXPECT_FALSE(h.engine->TimersRunning());
    EXPECT_EQ(h.engine->Receivers()[0].Letter, ReceiveLetter::Unstarted);
    h.engine->SetOwnAddress("192.0.2.7");
    h.engine->StartQTick();
    EXPECT_TRUE(h.engine->TimersRunning());
    // The port listens as communications start, not on the first scheduler tick.
    EXPECT_EQ(h.engine->Receivers()[0].Letter, ReceiveLetter::Listening);
    EXPECT_EQ(h.engine->ListeningPort(), h.port);
    EXPECT_EQ(h.engine->Receivers()[2].Letter, ReceiveLetter::Disabled);
}

TEST(Startup, AKnownAddressStartsCommunicationsOnTheFirstTurnAndDueRowsGoOut)
{
    // Start ticks of a minute never come within this test: the start is checked at once.
    TimerIntervals intervals;
    intervals.StartQTimer = intervals.QueueTimer = 60000;
    ScratchDir dir;
    FakeClock clock;
    RecordingPrompt prompt;
    Engine e(dir.path(), clock, prompt, intervals);
    e.InitGlobals();
    e.Prefs.ListenPort = FreeLoopbackPort();
    e.Prefs.SendChannels = 2;
    e.SetOwnAddress("192.0.2.7");
    // Two rows to a user nobody knows: each channel takes one and fails it at once.
    dir.write("a.txt", "a");
    dir.write("b.txt", "b");
    e.MainWindowLoad();
    e.AddQueueItems({QueueModel::MakeNewItem("nobody", "a.txt", dir.file("a.txt").toLocal8Bit(), "", clock.nowSerial()),
                     QueueModel::MakeNewItem("nobody", "b.txt", dir.file("b.txt").toLocal8Bit(), "", clock.nowSerial())});
    EXPECT_FALSE(e.TimersRunning());
    ASSERT_TRUE(WaitFor([&] { return e.ListeningPort() == e.Prefs.ListenPort; }, 2000));
    EXPECT_TRUE(e.TimersRunning());
    ASSERT_TRUE(WaitFor([&] { return e.Queue().item(1).status() == "E"; }, 2000));
    EXPECT_EQ(e.Queue().item(0).status(), "E");
}

TEST(QueueFile, FailedSaveWarnsKeepsTheOldFileAndTheRows)
{
    EngineHarness h;
    h.engine->AddQueueItems({QueueModel::MakeNewItem("bob", "a.txt", "/x/a.txt", "", h.clock.nowSerial())});
    const QByteArray old = h.dir.read("Parcelwise_Queue");
    ASSERT_FALSE(old.isEmpty());
    std::vector<QueueItem> more;
    for (int k = 0; k < 200; ++k)
        more.push_back(QueueModel::MakeNewItem("bob", "b.txt", "/x/b.txt", "a message", h.clock.nowSerial()));
    {
        FileSizeLimit full(64);
        ASSERT_TRUE(full.active());
        h.engine->AddQueueItems(more);
    }
    EXPECT_EQ(h.prompt.messages, QStringList{"Cannot Write User Data"});
    EXPECT_EQ(h.prompt.beeps, 1);
    EXPECT_FALSE(h.engine->BusyUpdatingQ);
    EXPECT_EQ(h.engine->Queue().rowCount(), 201);
    EXPECT_EQ(h.dir.read("Parcelwise_Queue"), old);
    // The next edit writes the whole queue.
    h.engine->HoldSelectedItems({0});
    EXPECT_EQ(DecodeQueueFile(h.dir.read("Parcelwise_Queue"), h.clock.nowSerial()).size(), 201u);
}

TEST(Startup, StoredFilesOpenToOthersAreMadePrivateWithOneLogLine)
{
    EngineHarness h;
    h.engine->BeginShutdown();
    h.dir.write("Parcelwise_Queue", "");
    ::chmod(QFile::encodeName(h.dir.file("Parcelwise_Queue")).constData(), 0644);
    h.dir.write("Parcelwise_Users", "");
    ::chmod(QFile::encodeName(h.dir.file("Parcelwise_Users")).constData(), 0640);
    Engine again(h.dir.path(), h.clock, h.prompt);
    again.InitGlobals();
    again.MainWindowLoad();
    const QByteArray log = again.Log().ScreenText();
    EXPECT_TRUE(log.contains("Made private to their owner: Parcelwise_Users, Parcelwise_Queue")) << log.constData();
    EXPECT_EQ(QFileInfo(h.dir.file("Parcelwise_Queue")).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
}
