// The real program started as a user starts it: headless installations side by side on
// loopback, files queued with --send, and the refusals of the command line.
#include "TestSupport.h"
#include "core/Identity.h"
#include "core/Preferences.h"
#include "core/Users.h"
#include "transfer/Queue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QNetworkDatagram>
#include <QProcess>
#include <QUdpSocket>
#include <gtest/gtest.h>
#include <csignal>

namespace {
// A folder holding one installation's stored files.
struct Installation {
    explicit Installation(int port) : port(port)
    {
        Preferences prefs;
        prefs.ListenPort = port;
        prefs.ReceiveChannels = 1;
        prefs.SendChannels = 1;
        dir.write(QStringLiteral("Parcelwise_Prefs"), EncodePrefs(prefs));
    }
    void SetUsers(const UserList &users) const { dir.write(QStringLiteral("Parcelwise_Users"), EncodeUsers(users)); }
    QString Downloads(const QString &name) const
    {
        return dir.file(QStringLiteral("Parcelwise_Downloads/") + name);
    }
    // Every stored file with its bytes, and every other name in the folder.
    QMap<QString, QByteArray> Snapshot() const
    {
        QMap<QString, QByteArray> files;
        for (const QString &name : QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            files[name] = name.startsWith(QStringLiteral("Parcelwise_")) && QFileInfo(dir.file(name)).isFile()
                              ? dir.read(name)
                              : QByteArray("(present)");
        return files;
    }

    ScratchDir dir;
    int port;
};

// A private runtime folder for the program's local link, so the tests meet no other instance.
struct Environment {
    Environment()
    {
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("PARCELWISE_TEST_INTERVALS"), QStringLiteral("50,150,50"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    ScratchDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

struct Finished {
    int code = -1;
    QByteArray out, err;
};

Finished RunProgram(const Environment &e, const QString &folder, const QStringList &args, int timeoutMs = 40000)
{
    QProcess p;
    p.setProcessEnvironment(e.env);
    p.setWorkingDirectory(folder);
    p.start(QStringLiteral(PW_PROGRAM), args);
    Finished f;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "parcelwise " << args.join(' ').toStdString() << " did not end";
    }
    f.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    f.out = p.readAllStandardOutput();
    f.err = p.readAllStandardError();
    return f;
}

// A headless installation running in the background.
struct Headless {
    Headless(const Environment &e, const QString &folder)
    {
        process.setProcessEnvironment(e.env);
        process.setWorkingDirectory(folder);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { out += process.readAllStandardOutput(); });
        process.start(QStringLiteral(PW_PROGRAM), {QStringLiteral("--headless")});
    }
    ~Headless()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    bool Says(const QByteArray &text, int timeoutMs = 15000)
    {
        return WaitFor([&] { return out.contains(text); }, timeoutMs);
    }
    // SIGTERM (or SIGHUP, SIGINT) runs the orderly shutdown; the status of the ended process.
    int Stop(int signal = SIGTERM)
    {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        if (!WaitFor([&] { return process.state() == QProcess::NotRunning; }, 15000))
            return -1;
        if (process.isReadable())
            out += process.readAllStandardOutput();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QProcess process;
    QByteArray out;
};

bool FileHolds(const QString &path, const QByteArray &content, int timeoutMs = 20000)
{
    return WaitFor(
        [&] {
            QFile f(path);
            return f.size() == content.size() && f.open(QIODevice::ReadOnly) && f.readAll() == content;
        },
        timeoutMs);
}
} // namespace

TEST(Program, HeadlessPeersDeliverWhatSendQueues)
{
    Environment env;
    Installation a(FreeLoopbackPort()), b(FreeLoopbackPort());
    // a knows b as "bob" and logs in there as "alice"; b knows that login.
    a.SetUsers({MakeUserRecord({"bob", "bpw", "alice", "apw", "S", "127.0.0.1", QByteArray::number(b.port)})});
    b.SetUsers({MakeUserRecord({"alice", "apw", "bob", "bpw", "S", "127.0.0.1", QByteArray::number(a.port)})});
    const QByteArray first = PatternBytes(300000, 7), second = PatternBytes(5000, 9);
    a.dir.write(QStringLiteral("first.bin"), first);
    a.dir.write(QStringLiteral("second.bin"), second);

    // Nothing runs in a's folder: the queue file takes the row, to be sent at the next start.
    Finished queued = RunProgram(env, a.dir.path(), {"--send", "bob", "first.bin", "--priority", "2"});
    ASSERT_EQ(queued.code, 0) << queued.err.constData();
    EXPECT_TRUE(queued.out.contains("sends it when it next starts")) << queued.out.constData();
    const std::vector<QueueItem> rows = DecodeQueueFile(a.dir.read(QStringLiteral("Parcelwise_Queue")), 46000.0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].filePath(), QFile::encodeName(a.dir.file(QStringLiteral("first.bin"))));
    EXPECT_EQ(rows[0].priority(), "2");
    EXPECT_FALSE(QFile::exists(a.dir.file(QStringLiteral("Parcelwise_Downloads")))) << "--send starts nothing";

    Headless runB(env, b.dir.path());
    ASSERT_TRUE(runB.Says("Listening on slot")) << runB.out.constData();
    Headless runA(env, a.dir.path());
    ASSERT_TRUE(runA.Says("Listening on slot")) << runA.out.constData();
    EXPECT_TRUE(FileHolds(b.Downloads(QStringLiteral("first.bin")), first)) << runA.out.constData();

    // With a running: handed over at once, sent without a restart.
    Finished handed = RunProgram(env, a.dir.path(), {"--send", "--message", "two", "bob", "second.bin"});
    ASSERT_EQ(handed.code, 0) << handed.err.constData();
    EXPECT_TRUE(handed.out.contains("is running")) << handed.out.constData();
    EXPECT_TRUE(FileHolds(b.Downloads(QStringLiteral("second.bin")), second)) << runA.out.constData();

    // The running installation answers --list and --status.
    ASSERT_TRUE(WaitFor([&] {
        return RunProgram(env, a.dir.path(), {"--list"}).out.count("Sent") == 2;
    }, 15000));
    const Finished list = RunProgram(env, a.dir.path(), {"--list"});
    EXPECT_TRUE(list.out.contains("first.bin") && list.out.contains("second.bin")) << list.out.constData();
    const Finished status = RunProgram(env, b.dir.path(), {"--status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_TRUE(status.out.contains("running headless")) << status.out.constData();
    EXPECT_TRUE(status.out.contains("Port: " + QByteArray::number(b.port) + ", listening")) << status.out.constData();
    // The key people compare by phone, while running and while not.
    const QByteArray keyB = GroupedFingerprint(ReadIdentityPem(b.dir.read(QStringLiteral("Parcelwise_Key"))).fingerprint);
    ASSERT_EQ(keyB.size(), 79);
    EXPECT_TRUE(status.out.contains("Key: " + keyB)) << status.out.constData();

    // Log lines reach standard output and the day's log file alike.
    EXPECT_TRUE(runB.out.contains("first.bin")) << runB.out.constData();

    EXPECT_EQ(runA.Stop(), 0);
    EXPECT_EQ(runB.Stop(), 0);
    EXPECT_TRUE(runA.out.contains("Closing down program"));
    EXPECT_TRUE(runA.out.contains("Cleaning Up"));
    const Finished after = RunProgram(env, a.dir.path(), {"--status"});
    EXPECT_NE(after.code, 0);
    EXPECT_TRUE(after.out.contains("not running")) << after.out.constData();
    const QByteArray keyA = GroupedFingerprint(ReadIdentityPem(a.dir.read(QStringLiteral("Parcelwise_Key"))).fingerprint);
    EXPECT_TRUE(after.out.contains("Key: " + keyA)) << after.out.constData();
}

TEST(Program, RefusalsSayWhyAndTouchNoStoredFile)
{
    Environment env;
    Installation a(FreeLoopbackPort());
    a.SetUsers({MakeUserRecord({"bob", "bpw", "alice", "apw", "S", "127.0.0.1", "4444"})});
    a.dir.write(QStringLiteral("file.bin"), "data");
    a.dir.write(QStringLiteral("Parcelwise_Queue"), EncodeQueueFile({QueueModel::MakeNewItem("bob", "x", "/x", "", 46000.0)}));
    QDir().mkpath(a.dir.file(QStringLiteral("folder")));

    const struct {
        QStringList args;
        int code;
        QByteArray says; // on standard error
    } cases[] = {
        {{"--bogus"}, 2, "unknown option --bogus"},
        {{"--send", "bob"}, 2, "needs a user and at least one file"},
        {{"--send", "bob", "file.bin", "--priority", "5"}, 2, "1, 2 or 3"},
        {{"--send", "carol", "file.bin"}, 1, "\"carol\" is not a user"},
        {{"--send", "bob", "file.bin", "missing.bin"}, 1, "missing.bin: no such file"},
        {{"--send", "bob", "folder"}, 1, "folder: is a folder"},
    };
    // The same refusals whether the installation is stopped or running.
    for (bool running : {false, true}) {
        std::unique_ptr<Headless> run;
        if (running) {
            run = std::make_unique<Headless>(env, a.dir.path());
            ASSERT_TRUE(run->Says("Listening on slot")) << run->out.constData();
        }
        const QMap<QString, QByteArray> before = a.Snapshot();
        for (const auto &c : cases) {
            SCOPED_TRACE(c.args.join(' ').toStdString() + (running ? " (running)" : " (stopped)"));
            const Finished f = RunProgram(env, a.dir.path(), c.args);
            EXPECT_EQ(f.code, c.code);
            EXPECT_TRUE(f.err.contains(c.says)) << f.err.constData();
            EXPECT_EQ(a.Snapshot(), before);
        }
        if (running) {
            // A second headless start in the same folder.
            const Finished second = RunProgram(env, a.dir.path(), {"--headless"});
            EXPECT_EQ(second.code, 1);
            EXPECT_TRUE(second.err.contains("This program is already running!")) << second.err.constData();
            const QMap<QString, QByteArray> now = a.Snapshot();
            for (const QString &name : {QStringLiteral("Parcelwise_Users"), QStringLiteral("Parcelwise_Prefs"),
                                        QStringLiteral("Parcelwise_Queue")})
                EXPECT_EQ(now.value(name), before.value(name)) << name.toStdString();
            EXPECT_EQ(run->Stop(), 0);
        }
    }

    // A folder the program cannot use is said to be so, not taken for another instance.
    ScratchDir blocked;
    QDir().mkpath(blocked.file(QStringLiteral(".parcelwise.lock")));
    const Finished unusable = RunProgram(env, blocked.path(), {"--headless"});
    EXPECT_EQ(unusable.code, 1);
    EXPECT_TRUE(unusable.err.contains("Cannot use the program folder " + QFile::encodeName(blocked.path()) + ": "))
        << unusable.err.constData();
    EXPECT_FALSE(unusable.err.contains("already running")) << unusable.err.constData();

    const Finished help = RunProgram(env, a.dir.path(), {"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.contains("--send USER FILE..."));
    const Finished version = RunProgram(env, a.dir.path(), {"--version"});
    EXPECT_EQ(version.out, "Parcelwise Version 1.0\n");
}

TEST(Program, HeadlessOutlivesItsReaderAndEndsInOrderOnHangUp)
{
    Environment env;
    Installation a(FreeLoopbackPort());
    Headless run(env, a.dir.path());
    ASSERT_TRUE(run.Says("Listening on slot")) << run.out.constData();
    // As `parcelwise --headless | head -1`: the reader goes away, the log lines keep coming.
    run.process.closeReadChannel(QProcess::StandardOutput);
    EXPECT_EQ(run.Stop(SIGHUP), 0);
    QByteArray log;
    for (const QString &name : QDir(a.dir.file(QStringLiteral("Parcelwise_Logs"))).entryList(QDir::Files))
        log += a.dir.read(QStringLiteral("Parcelwise_Logs/") + name);
    EXPECT_TRUE(log.contains("Closing Queue")) << log.constData();
    EXPECT_TRUE(log.contains("Cleaning Up")) << log.constData();
}

TEST(Program, HeadlessMapsItsPortOnTheRouterNamedByEnvironment)
{
    // A NAT-PMP router on its own loopback address: external address 203.0.113.7, port 45000.
    QUdpSocket router;
    ASSERT_TRUE(router.bind(QHostAddress(QStringLiteral("127.0.0.19")), 5351));
    QList<QByteArray> requests;
    QObject::connect(&router, &QUdpSocket::readyRead, [&] {
        while (router.hasPendingDatagrams()) {
            const QNetworkDatagram d = router.receiveDatagram();
            const QByteArray r = d.data();
            requests << r;
            QByteArray answer;
            if (r.size() == 2)
                answer = QByteArray("\0\x80\0\0\0\0\0\1\xcb\0\x71\x07", 12);
            else if (r.size() == 12)
                answer = QByteArray("\0\x82\0\0\0\0\0\1", 8) + r.mid(4, 2)
                    + (r.right(4) == QByteArray(4, '\0') ? QByteArray(6, '\0') : QByteArray("\xaf\xc8\0\0\x1c\x20", 6));
            router.writeDatagram(answer, d.senderAddress(), d.senderPort());
        }
    });
    Environment env;
    env.env.insert(QStringLiteral("PARCELWISE_NATPMP_GATEWAY"), QStringLiteral("127.0.0.19"));
    Installation a(FreeLoopbackPort());
    Preferences prefs;
    prefs.ListenPort = a.port;
    prefs.PortMapping = true;
    a.dir.write(QStringLiteral("Parcelwise_Prefs"), EncodePrefs(prefs));

    Headless run(env, a.dir.path());
    ASSERT_TRUE(run.Says("Port mapped on router: 203.0.113.7:45000 (NAT-PMP)")) << run.out.constData();
    ASSERT_GE(requests.size(), 2);
    EXPECT_EQ(requests[1].mid(1, 5), QByteArray("\x02\0\0", 3) + char(a.port >> 8) + char(a.port & 0xff));
    const Finished status = RunProgram(env, a.dir.path(), {"--status"});
    EXPECT_TRUE(status.out.contains("\nReachable at 203.0.113.7:45000 (router, NAT-PMP)\n")) << status.out.constData();

    EXPECT_EQ(run.Stop(), 0);
    EXPECT_TRUE(run.out.contains("Port mapping removed")) << run.out.constData();
    EXPECT_EQ(requests.last().right(8), QByteArray(1, char(a.port >> 8)) + char(a.port & 0xff) + QByteArray(6, '\0'));
}

TEST(Program, FolderOptionClearSentAndAFolderWithoutAnInstallation)
{
    Environment env;
    Installation a(FreeLoopbackPort());
    QueueItem sent = QueueModel::MakeNewItem("bob", "done.bin", "/done.bin", "", 46000.0);
    sent.field(QueueItem::Status) = "S";
    const QueueItem waiting = QueueModel::MakeNewItem("bob", "next.bin", "/next.bin", "", 46000.0);
    a.dir.write(QStringLiteral("Parcelwise_Queue"), EncodeQueueFile({sent, waiting}));
    ScratchDir elsewhere;

    // From another folder, --folder names the installation.
    const Finished cleared = RunProgram(env, elsewhere.path(), {"--folder", a.dir.path(), "--clear-sent"});
    EXPECT_EQ(cleared.code, 0) << cleared.err.constData();
    EXPECT_TRUE(cleared.out.contains("Removed 1 sent row")) << cleared.out.constData();
    EXPECT_EQ(a.dir.read(QStringLiteral("Parcelwise_Queue")), EncodeQueueFile({waiting}));

    // The same with the installation running: its own queue loses the row.
    a.dir.write(QStringLiteral("Parcelwise_Queue"), EncodeQueueFile({sent, waiting}));
    {
        Headless run(env, a.dir.path());
        ASSERT_TRUE(run.Says("Listening on slot")) << run.out.constData();
        EXPECT_TRUE(run.out.startsWith("Starting Parcelwise in ")) << run.out.left(200).constData();
        const Finished live = RunProgram(env, elsewhere.path(), {"--clear-sent", "--folder=" + a.dir.path()});
        EXPECT_EQ(live.code, 0) << live.err.constData();
        const Finished list = RunProgram(env, elsewhere.path(), {"--folder", a.dir.path(), "--list"});
        EXPECT_FALSE(list.out.contains("done.bin")) << list.out.constData();
        EXPECT_TRUE(list.out.contains("next.bin")) << list.out.constData();
        // A second start names the running one.
        const Finished second = RunProgram(env, a.dir.path(), {"--headless"});
        EXPECT_TRUE(second.err.contains("This program is already running! Another Parcelwise (process ")) << second.err.constData();
        EXPECT_TRUE(second.err.contains(", headless)")) << second.err.constData();
        EXPECT_EQ(run.Stop(), 0);
    }

    // A folder that holds no installation is said to be one.
    for (const QStringList &args : {QStringList{"--status"}, QStringList{"--list"}, QStringList{"--clear-sent"}}) {
        const Finished f = RunProgram(env, elsewhere.path(), args);
        EXPECT_EQ(f.code, 1) << args.join(' ').toStdString();
        EXPECT_TRUE((f.out + f.err).contains("there is no Parcelwise installation in")) << (f.out + f.err).constData();
    }
    const Finished noFolder = RunProgram(env, elsewhere.path(), {"--folder", "/no/such/place", "--list"});
    EXPECT_EQ(noFolder.code, 2);
    EXPECT_TRUE(noFolder.err.contains("no such folder"));
}
