// One installation of the transfer engine as a process of its own, for the loopback transfer
// benchmark: "receive" waits for files and times their data, "send" queues files and sends them.
//
//   bench_peer receive <folder> <port> [files=N] [channels=N] [delay_us=N] [encrypt=0|1]
//   bench_peer send <folder> <port> [channels=N] [encrypt=0|1] <file>...
//   bench_peer setup <folder> <port>
//
// files: how many files the receiver waits for (1); channels: receive or send channels (1);
// delay_us: a pause before each write to disk, standing in for a slow disk (0); encrypt: 1 offers
// and takes encryption (the installation's default), 0 sends and receives in the clear (0). The
// sender prints first_s, the seconds from queueing to the first byte of file data, and seconds,
// from there to the last row's end. The sender queues
// every file at once; every idle channel takes a row at once, and every further row starts when
// one ends. Both print "RESULT key=value" lines on standard output (cpu_s: the process's user
// and system CPU seconds); the receiver prints "READY" once it listens. The exit status is 0 only
// when every file went through whole. "setup" writes the stored preferences (port, four receive
// channels, no router mapping) and users ("alice", password "pw1") of a folder for the program
// itself, as the receiver here has them.
#include "core/Clock.h"
#include "core/FileOps.h"
#include "core/UserPrompt.h"
#include "core/Users.h"
#include "transfer/Engine.h"
#include "transfer/Queue.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>
#include <memory>
#include <sys/resource.h>

namespace {

constexpr int GiveUpMs = 30 * 60 * 1000;

// Peak resident set of this process in kB: the kernel's high-water mark, or getrusage's.
long PeakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void Print(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintResult(const char *key, const QByteArray &value)
{
    Print(QByteArray("RESULT ") + key + "=" + value);
}

// User and system CPU seconds of this process so far.
QByteArray CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return QByteArray::number(s, 'f', 3);
}

int FreeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// An engine in its own folder, on the real clock, answering no one.
struct Installation {
    Installation(const QString &folder, int listenPort, int receiveChannels, int sendChannels, bool encrypt)
        : engine(folder, clock, prompt)
    {
        QDir().mkpath(folder);
        engine.InitGlobals();
        engine.Prefs.ListenPort = listenPort;
        engine.Prefs.ReceiveChannels = receiveChannels;
        engine.Prefs.SendChannels = sendChannels;
        engine.Prefs.Encryption = encrypt ? EncryptionSetting::Prefer : EncryptionSetting::Off;
        engine.SetOwnAddress("127.0.0.1");
    }
    void Start()
    {
        engine.MainWindowLoad();
        engine.StartChannels(); // the receive port listens at once
    }

    SystemClock clock;
    HeadlessPrompt prompt;
    Engine engine;
};

// "key=value" options after the fixed arguments; the rest are left in order.
struct Options {
    int files = 1;
    int channels = 1;
    int delayUs = 0;
    bool encrypt = false;
    QStringList rest;
    bool ok = true;
};

Options ReadOptions(const QStringList &args)
{
    Options o;
    for (const QString &a : args) {
        const qsizetype eq = a.indexOf(QLatin1Char('='));
        const QString key = eq > 0 ? a.left(eq) : QString();
        bool ok = true;
        const int value = eq > 0 ? a.mid(eq + 1).toInt(&ok) : 0;
        if (key == QLatin1String("files"))
            o.files = value;
        else if (key == QLatin1String("channels"))
            o.channels = value;
        else if (key == QLatin1String("delay_us"))
            o.delayUs = value;
        else if (key == QLatin1String("encrypt"))
            o.encrypt = value != 0;
        else
            o.rest << a;
        o.ok = o.ok && ok;
    }
    o.ok = o.ok && o.files >= 1 && o.channels >= 1 && o.channels <= 4 && o.delayUs >= 0;
    return o;
}

// Timing from the first accepted request to the close of the last file's connection.
int Receive(const QString &folder, int port, const Options &opt)
{
    Installation inst(folder, port, opt.channels, 0, opt.encrypt);
    Engine &engine = inst.engine;
    engine.Users = {MakeUserRecord({"alice", "pw1", "", "", "S", "", QByteArray::number(port)})};
    engine.SetReceiveWriteDelayForBenchmark(opt.delayUs);
    // A left-over copy would turn a transfer into a resume or a refusal.
    QDir downloads(engine.Paths().DownloadsFolder);
    for (const QString &name : downloads.entryList(QDir::Files))
        downloads.remove(name);

    QElapsedTimer clock;
    clock.start();
    qint64 firstNs = -1, closedNs = -1;
    int received = 0, incomplete = 0;
    int64_t dataBytes = 0;

    QObject::connect(&engine.Log(), &TransferLog::LineAdded, &engine, [&](const QByteArray &line, bool) {
        if (line.contains(" is sending ")) {
            if (firstNs < 0)
                firstNs = clock.nsecsElapsed();
        } else if (line.contains("partially sent") || line.contains("dropped") || line.contains("Timeout") ||
                   line.contains("Attempt to send pre-existing")) {
            Print("FAILED " + line.trimmed());
            QCoreApplication::exit(1);
        }
    });
    QObject::connect(&engine, &Engine::FileReceived, &engine, [&](const QByteArray &, const QByteArray &name) {
        for (const ReceiveChannel &rc : engine.Receivers()) {
            if (rc.FileName == name) {
                dataBytes += rc.BytesReceived - rc.ExistingSize;
                if (rc.BytesReceived != rc.AnnouncedSize)
                    ++incomplete;
                break;
            }
        }
        ++received;
    });
    // FinishReceive closes the file and the connection, then shows the channel idle again; the
    // run ends when every file has come and no channel serves any more.
    QObject::connect(&engine, &Engine::ReceiveChannelChanged, &engine, [&](int) {
        if (received < opt.files || closedNs >= 0)
            return;
        for (const ReceiveChannel &rc : engine.Receivers())
            if (rc.Letter == ReceiveLetter::Connected)
                return;
        closedNs = clock.nsecsElapsed();
        QCoreApplication::exit(incomplete == 0 ? 0 : 1);
    });
    QTimer::singleShot(GiveUpMs, [] {
        Print("FAILED gave up waiting");
        QCoreApplication::exit(1);
    });

    inst.Start();
    if (engine.ListeningPort() != port) {
        Print("FAILED cannot listen on port " + QByteArray::number(port));
        return 1;
    }
    Print("READY");
    const int rc = QCoreApplication::exec();
    if (firstNs >= 0 && closedNs > firstNs) {
        const double seconds = static_cast<double>(closedNs - firstNs) / 1e9;
        PrintResult("files", QByteArray::number(received));
        PrintResult("bytes", QByteArray::number(static_cast<qlonglong>(dataBytes)));
        PrintResult("seconds", QByteArray::number(seconds, 'f', 6));
        PrintResult("mb_per_s", QByteArray::number(static_cast<double>(dataBytes) / seconds / 1e6, 'f', 1));
    }
    PrintResult("peak_rss_kb", QByteArray::number(PeakRssKb()));
    PrintResult("cpu_s", CpuSeconds());
    return rc;
}

// How late a 1 ms timer fires while the files go out: the sender's longest stretch without a
// turn of its event loop shows as the largest lateness.
class LatenessProbe {
public:
    LatenessProbe()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            lateNs_.push_back(std::max<qint64>(0, now - last_ - 1000000));
            last_ = now;
        });
    }
    void Start()
    {
        if (timer_.isActive())
            return;
        clock_.start();
        last_ = 0;
        timer_.start();
    }
    void Stop() { timer_.stop(); }
    void Report()
    {
        if (lateNs_.empty())
            return;
        std::sort(lateNs_.begin(), lateNs_.end());
        const auto ms = [](qint64 ns) { return QByteArray::number(static_cast<double>(ns) / 1e6, 'f', 3); };
        PrintResult("timer_fires", QByteArray::number(static_cast<qulonglong>(lateNs_.size())));
        PrintResult("late_p99_ms", ms(lateNs_[lateNs_.size() * 99 / 100]));
        PrintResult("late_max_ms", ms(lateNs_.back()));
    }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    std::vector<qint64> lateNs_;
};

int Send(const QString &folder, int port, const Options &opt)
{
    Installation inst(folder, FreeLoopbackPort(), 1, opt.channels, opt.encrypt);
    Engine &engine = inst.engine;
    engine.Users = {MakeUserRecord({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(port)})};
    QFile::remove(QDir(engine.Paths().ProgramFolder).filePath(QStringLiteral("Parcelwise_Queue")));

    QElapsedTimer clock;
    clock.start();
    qint64 dataStartNs = -1, queuedNs = -1;
    LatenessProbe probe;
    QObject::connect(&engine.Log(), &TransferLog::LineAdded, &engine, [&](const QByteArray &line, bool) {
        if (line.contains("Sending file ")) {
            if (dataStartNs < 0)
                dataStartNs = clock.nsecsElapsed();
            probe.Start();
        }
    });
    // Every ending of a send passes through the outcome handler, which shows the channel idle;
    // the run ends when no row waits or is being sent.
    bool done = false;
    QObject::connect(&engine, &Engine::SendChannelChanged, &engine, [&](int) {
        const QueueModel &queue = engine.Queue();
        if (done || queue.rowCount() == 0)
            return;
        int sent = 0;
        for (int row = 0; row < queue.rowCount(); ++row) {
            const QByteArray status = queue.field(row, QueueItem::Status);
            if (status == "B" || status == "Q")
                return;
            sent += status == "S";
        }
        done = true;
        probe.Stop();
        const double seconds = static_cast<double>(clock.nsecsElapsed() - dataStartNs) / 1e9;
        PrintResult("sent", QByteArray::number(sent));
        if (sent < queue.rowCount())
            PrintResult("status", queue.field(0, QueueItem::Status) + " " + queue.field(0, QueueItem::StatusText));
        if (dataStartNs >= 0) {
            PrintResult("first_s", QByteArray::number(static_cast<double>(dataStartNs - queuedNs) / 1e9, 'f', 6));
            PrintResult("seconds", QByteArray::number(seconds, 'f', 6));
        }
        QCoreApplication::exit(sent == queue.rowCount() ? 0 : 1);
    });
    QTimer::singleShot(GiveUpMs, [] {
        Print("FAILED gave up waiting");
        QCoreApplication::exit(1);
    });

    inst.Start();
    std::vector<QueueItem> rows;
    for (const QString &file : opt.rest) {
        const QByteArray path = QFileInfo(file).absoluteFilePath().toLocal8Bit();
        rows.push_back(QueueModel::MakeNewItem("bob", FileNameOf(path), path, "", inst.clock.nowSerial()));
    }
    queuedNs = clock.nsecsElapsed();
    engine.AddQueueItems(rows);
    if (engine.Queue().rowCount() != static_cast<int>(rows.size())) {
        Print("FAILED the files were not queued");
        return 1;
    }
    // The queued rows start at once on every idle channel; no tick is waited for.
    const int rc = QCoreApplication::exec();
    probe.Report();
    PrintResult("peak_rss_kb", QByteArray::number(PeakRssKb()));
    PrintResult("cpu_s", CpuSeconds());
    return rc;
}

// The stored files of a receiving installation for the program itself.
int Setup(const QString &folder, int port)
{
    Installation inst(folder, port, 4, 1, false);
    Engine &engine = inst.engine;
    Preferences prefs = engine.Prefs;
    prefs.PortMapping = false;
    const bool saved = engine.SavePrefs(prefs) &&
                       engine.SaveUsers({MakeUserRecord({"alice", "pw1", "", "", "S", "", QByteArray::number(port)})});
    return saved ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    const QString folder = args.value(2);
    const int port = args.value(3).toInt();
    const Options opt = ReadOptions(args.mid(4));
    const bool portOk = port >= 1024 && port <= 65535;
    if (mode == QLatin1String("receive") && portOk && opt.ok && opt.rest.isEmpty())
        return Receive(folder, port, opt);
    if (mode == QLatin1String("send") && portOk && opt.ok && !opt.rest.isEmpty())
        return Send(folder, port, opt);
    if (mode == QLatin1String("setup") && portOk)
        return Setup(folder, port);
    std::fprintf(stderr, "usage: bench_peer receive <folder> <port> [files=N] [channels=N] [delay_us=N]\n"
                         "       bench_peer send <folder> <port> [channels=N] <file>...\n"
                         "       bench_peer setup <folder> <port>\n");
    return 2;
}
