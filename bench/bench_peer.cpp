// One installation of the transfer engine as a process of its own, for the loopback transfer
// benchmark: "receive" waits for one file and times its data, "send" queues one file and sends it.
//
//   bench_peer receive <folder> <port>
//   bench_peer send <folder> <port> <file>
//
// Both print "RESULT key=value" lines on standard output; the receiver prints "READY" once it
// listens. The exit status is 0 only when the file went through whole.
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
#include <cstdio>
#include <memory>
#include <sys/resource.h>

namespace {

constexpr int GiveUpMs = 30 * 60 * 1000;
const QByteArray BenchFileName = "big.bin";

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

int FreeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// An engine in its own folder, on the real clock, answering no one.
struct Installation {
    Installation(const QString &folder, int listenPort, int sendChannels) : engine(folder, clock, prompt)
    {
        QDir().mkpath(folder);
        engine.InitGlobals();
        engine.Prefs.ListenPort = listenPort;
        engine.Prefs.ReceiveChannels = 1;
        engine.Prefs.SendChannels = sendChannels;
        engine.SetOwnAddress("127.0.0.1");
    }
    void Start()
    {
        engine.MainWindowLoad();
        engine.StartChannels();
        engine.QueueTick(); // the first tick makes one receive channel listen
    }

    SystemClock clock;
    HeadlessPrompt prompt;
    Engine engine;
};

int Receive(const QString &folder, int port)
{
    Installation inst(folder, port, 0);
    Engine &engine = inst.engine;
    engine.Users = {MakeUserRecord({"alice", "pw1", "", "", "S", "", QByteArray::number(port)})};
    const QString target = QDir(engine.Paths().DownloadsFolder).filePath(QString::fromLatin1(BenchFileName));
    QFile::remove(target); // a left-over copy would turn the transfer into a resume or a refusal

    QElapsedTimer clock;
    clock.start();
    qint64 firstDataNs = -1, completeNs = -1, closedNs = -1;
    int64_t dataBytes = 0;
    bool received = false;
    int exitCode = 1;

    // The first data arrives on the channel's socket after the request was accepted: attach to that
    // socket once the engine says the file is coming. Connected after the engine's own handler, so
    // this runs once the engine has taken the bytes.
    QObject::connect(&engine.Log(), &TransferLog::LineAdded, &engine, [&](const QByteArray &line, bool) {
        if (line.contains(" is sending " + BenchFileName)) {
            for (QTcpSocket *socket : engine.findChildren<QTcpSocket *>()) {
                if (socket->state() != QAbstractSocket::ConnectedState)
                    continue;
                auto link = std::make_shared<QMetaObject::Connection>();
                *link = QObject::connect(socket, &QTcpSocket::readyRead, &engine, [&, link] {
                    const ReceiveChannel &rc = engine.Receivers()[0];
                    if (firstDataNs >= 0 || rc.State != ReceiveState::Receiving || (rc.Buffer.isEmpty() && rc.BytesReceived == 0))
                        return;
                    firstDataNs = clock.nsecsElapsed();
                    QObject::disconnect(*link);
                });
            }
        } else if (line.contains("partially sent") || line.contains("dropped") || line.contains("Timeout") ||
                   line.contains("Attempt to send pre-existing")) {
            Print("FAILED " + line.trimmed());
            QCoreApplication::exit(1);
        }
    });
    QObject::connect(&engine, &Engine::FileReceived, &engine, [&](const QByteArray &, const QByteArray &name) {
        if (name != BenchFileName)
            return;
        completeNs = clock.nsecsElapsed();
        const ReceiveChannel &rc = engine.Receivers()[0];
        dataBytes = rc.BytesReceived - rc.ExistingSize;
        received = rc.BytesReceived == rc.AnnouncedSize;
    });
    // FinishReceive closes the file and the connection, then shows the channel idle again.
    QObject::connect(&engine, &Engine::ReceiveChannelChanged, &engine, [&](int i) {
        if (completeNs < 0 || closedNs >= 0 || engine.Receivers()[i].Letter != ReceiveLetter::Idle)
            return;
        closedNs = clock.nsecsElapsed();
        exitCode = received ? 0 : 1;
        QCoreApplication::exit(exitCode);
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
    if (firstDataNs >= 0 && closedNs > firstDataNs) {
        const double seconds = static_cast<double>(closedNs - firstDataNs) / 1e9;
        PrintResult("bytes", QByteArray::number(static_cast<qlonglong>(dataBytes)));
        PrintResult("seconds", QByteArray::number(seconds, 'f', 6));
        PrintResult("mb_per_s", QByteArray::number(static_cast<double>(dataBytes) / seconds / 1e6, 'f', 1));
        PrintResult("close_after_complete_us", QByteArray::number((closedNs - completeNs) / 1000));
    }
    PrintResult("peak_rss_kb", QByteArray::number(PeakRssKb()));
    return rc;
}

int Send(const QString &folder, int port, const QString &file)
{
    Installation inst(folder, FreeLoopbackPort(), 1);
    Engine &engine = inst.engine;
    engine.Users = {MakeUserRecord({"bob", "x", "alice", "pw1", "S", "127.0.0.1", QByteArray::number(port)})};
    QFile::remove(QDir(engine.Paths().ProgramFolder).filePath(QStringLiteral("Parcelwise_Queue")));

    QElapsedTimer clock;
    clock.start();
    qint64 dataStartNs = -1;
    QObject::connect(&engine.Log(), &TransferLog::LineAdded, &engine, [&](const QByteArray &line, bool) {
        if (line.contains("Sending file "))
            dataStartNs = clock.nsecsElapsed();
    });
    // Every ending of a send passes through the outcome handler, which shows the channel idle.
    QObject::connect(&engine, &Engine::SendChannelChanged, &engine, [&](int) {
        if (engine.Queue().rowCount() == 0)
            return;
        const QueueItem &row = engine.Queue().item(0);
        if (row.status() == "B" || row.status() == "Q")
            return;
        const double seconds = static_cast<double>(clock.nsecsElapsed() - dataStartNs) / 1e9;
        PrintResult("status", row.status() + " " + row.statusText());
        if (dataStartNs >= 0)
            PrintResult("seconds", QByteArray::number(seconds, 'f', 6));
        QCoreApplication::exit(row.status() == "S" ? 0 : 1);
    });
    QTimer::singleShot(GiveUpMs, [] {
        Print("FAILED gave up waiting");
        QCoreApplication::exit(1);
    });

    inst.Start();
    const QString path = QFileInfo(file).absoluteFilePath();
    engine.AddQueueItems({QueueModel::MakeNewItem("bob", FileNameOf(path.toLocal8Bit()), path.toLocal8Bit(), "",
                                                  inst.clock.nowSerial())});
    // The scheduler would take the row on its next tick; run that tick now.
    if (engine.Queue().rowCount() != 1) {
        Print("FAILED the file was not queued");
        return 1;
    }
    engine.QueueTick();
    if (engine.Queue().item(0).status() == "Q")
        QTimer::singleShot(200, &engine, [&engine] { engine.QueueTick(); });
    const int rc = QCoreApplication::exec();
    PrintResult("peak_rss_kb", QByteArray::number(PeakRssKb()));
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    const QString folder = args.value(2);
    const int port = args.value(3).toInt();
    if (mode == QLatin1String("receive") && args.size() == 4 && port >= 1024 && port <= 65535)
        return Receive(folder, port);
    if (mode == QLatin1String("send") && args.size() == 5 && port >= 1024 && port <= 65535)
        return Send(folder, port, args.value(4));
    std::fprintf(stderr, "usage: bench_peer receive <folder> <port>\n"
                         "       bench_peer send <folder> <port> <file>\n");
    return 2;
}
