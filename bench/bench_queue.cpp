// The queue at scale, for the benchmark: an engine in its own process with a queue of many rows.
//
//   bench_queue <folder> <rows>
//
// Writes a queue file of <rows> rows into the folder (one third "Q" due, one third due in 30
// minutes, one third "S"), starts an engine there with an empty queue, then loads the file into
// the engine's queue and measures: the load, the scheduler's choice, ticks that start a row, one
// edit with its save, and the peak memory above the engine before the load. Prints
// "RESULT key=value" lines. Run it with 0 rows for the baseline of the same process.
#include "core/Clock.h"
#include "core/FileOps.h"
#include "core/UserPrompt.h"
#include "transfer/Engine.h"
#include "transfer/Queue.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

long StatusKb(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(static_cast<qsizetype>(std::strlen(key))).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Forgets the peak so far: the next VmHWM reading is the peak from now on.
void ResetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

void Result(const char *key, const QByteArray &value)
{
    std::printf("RESULT %s=%s\n", key, value.constData());
    std::fflush(stdout);
}

// CPU time of this thread: on a busy machine the steadier measure.
qint64 CpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

QByteArray Ms(qint64 ns)
{
    return QByteArray::number(static_cast<double>(ns) / 1e6, 'f', 3);
}

// The stored rows, written straight as the file's records; no QueueItem list is made, so the
// measuring process never held them.
void WriteQueue(const QString &path, int rows, double now)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    const QByteArray later = FormatDateSerial(now + 30.0 / 1440);
    QByteArray block;
    for (int i = 0; i < rows; ++i) {
        const QByteArray n = QByteArray::number(i).rightJustified(6, '0');
        const QByteArray name = "report-" + n + ".pdf";
        QByteArray status, text, next, tries = "0";
        switch (i % 3) {
        case 0:
            status = "Q", text = "Queued", next = FormatDateSerial(now - (i % 1000) / 86400.0);
            break;
        case 1:
            status = "W", text = "Retry Wait Busy", next = later, tries = "1";
            break;
        default:
            status = "S", text = "Sent", next = FormatDateSerial(now - 1 - i / 86400.0), tries = "1";
            break;
        }
        const QByteArray priority = QByteArray::number(3 - (i % 7 == 0) - (i % 11 == 0));
        const QByteArray fields[QueueItem::FieldCount] = {
            status, "", "user" + QByteArray::number(i % 20), "", name, "/home/ann/outgoing/batch-" + n.left(3) + "/" + name,
            priority, "", "5", tries, "", text, "", "", "", "", next, i % 10 ? QByteArray() : "weekly figures", ""};
        for (const QByteArray &f : fields)
            block += f + '\x01';
        block += '\x02';
        if (block.size() > (1 << 20)) {
            file.write(block);
            block.clear();
        }
    }
    file.write(block);
}

int Run(const QString &folder, int rows)
{
    QDir().mkpath(folder);
    const QString queuePath = QDir(folder).filePath(QStringLiteral("Parcelwise_Queue"));
    const QString stored = QDir(folder).filePath(QStringLiteral("bench_queue_rows"));
    SystemClock clock;
    HeadlessPrompt prompt;
    QFile::remove(queuePath);
    // Written by a child process, so that its work leaves no trace in this one.
    if (QProcess::execute(QCoreApplication::applicationFilePath(),
                          {QStringLiteral("--write"), stored, QString::number(rows),
                           QString::number(clock.nowSerial(), 'f', 10)}) != 0) {
        std::fprintf(stderr, "could not write the queue file\n");
        return 1;
    }
    Result("file_bytes", QByteArray::number(QFileInfo(stored).size()));

    Engine engine(folder, clock, prompt);
    engine.InitGlobals();
    engine.Prefs.SendChannels = 4;
    engine.Prefs.ListenPort = 0;
    engine.SetOwnAddress("127.0.0.1");
    engine.MainWindowLoad();  // an empty queue
    engine.StartChannels();
    ResetPeak();
    const long before = StatusKb("VmRSS:");
    Result("rss_before_kb", QByteArray::number(before));

    // The load, as start-up does it; the load time given is a day on, so the rows stored as due
    // in 30 minutes keep that time (start-up would make them due at once) and the queue is the
    // one asked for: a third due, a third waiting, a third sent.
    QElapsedTimer t;
    QFile file(stored);
    file.open(QIODevice::ReadOnly);
    t.start();
    const qint64 cpu0 = CpuNs();
    engine.Queue().LoadQueueFile(file, clock.nowSerial() + 1);
    Result("load_ms", Ms(t.nsecsElapsed()));
    Result("load_cpu_ms", Ms(CpuNs() - cpu0));
    file.close();
    Result("rows", QByteArray::number(engine.Queue().rowCount()));
    Result("rss_after_load_kb", QByteArray::number(StatusKb("VmRSS:")));
    if (qEnvironmentVariableIsSet("BENCH_QUEUE_LOAD_ONLY"))
        return 0;

    // The scheduler's choice as a tick makes it: the first one after the load, then steady.
    t.start();
    const int first = engine.Queue().PickNextItem(clock.nowSerial());
    Result("first_pick_ms", Ms(t.nsecsElapsed()));
    Result("first_pick_row", QByteArray::number(first));
    std::vector<qint64> picks;
    for (int i = 0; i < 1000; ++i) {
        t.start();
        engine.Queue().PickNextItem(clock.nowSerial());
        picks.push_back(t.nsecsElapsed());
    }
    std::sort(picks.begin(), picks.end());
    Result("pick_median_us", QByteArray::number(static_cast<double>(picks[picks.size() / 2]) / 1e3, 'f', 2));

    // Whole ticks that start a row: its user is unknown, so it ends at once as failed and the
    // next tick takes the next row.
    std::vector<qint64> ticks;
    for (int i = 0; i < 200; ++i) {
        t.start();
        engine.QueueTick();
        ticks.push_back(t.nsecsElapsed());
    }
    std::sort(ticks.begin(), ticks.end());
    Result("tick_median_ms", Ms(ticks[ticks.size() / 2]));
    Result("tick_max_ms", Ms(ticks.back()));

    // One edit of one row with the save of the whole queue, the sync to disk included.
    std::vector<qint64> edits;
    for (int i = 0; i < 5 && rows > 0; ++i) {
        const int row = (rows / 2 + i * 3) % rows;
        t.start();
        if (i % 2)
            engine.SetSelectedPriority({row}, 1);
        else
            engine.HoldSelectedItems({row});
        edits.push_back(t.nsecsElapsed());
    }
    std::sort(edits.begin(), edits.end());
    if (!edits.empty()) {
        Result("edit_save_median_ms", Ms(edits[edits.size() / 2]));
        Result("edit_save_max_ms", Ms(edits.back()));
        Result("saved_bytes", QByteArray::number(QFileInfo(queuePath).size()));
    }
    const long peak = StatusKb("VmHWM:");
    Result("peak_rss_kb", QByteArray::number(peak));
    Result("peak_growth_kb", QByteArray::number(peak - before));
    // The file's content alone, made without the disk: the rest of a save is the write and the
    // sync. (After the peak was read: this is no part of the engine's work.)
    {
        QFile null(QStringLiteral("/dev/null"));
        null.open(QIODevice::WriteOnly);
        t.start();
        engine.Queue().WriteQueueFile(null);
        Result("encode_ms", Ms(t.nsecsElapsed()));
    }
    engine.BeginShutdown();
    QFile::remove(stored);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool ok = false;
    if (args.size() == 5 && args[1] == QLatin1String("--write")) {
        WriteQueue(args[2], args[3].toInt(), args[4].toDouble());
        return 0;
    }
    const int rows = args.value(2).toInt(&ok);
    if (args.size() != 3 || !ok || rows < 0) {
        std::fprintf(stderr, "usage: bench_queue <folder> <rows>\n");
        return 2;
    }
    return Run(args.value(1), rows);
}
