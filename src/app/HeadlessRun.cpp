// The installation without a window: the engine as the window drives it, log lines also on
// standard output, message boxes answered by their default button, signals for the shutdown.
#include "app/AppRun.h"

#include "app/InstanceCommands.h"
#include "app/InstanceLink.h"
#include "app/StdoutRelay.h"
#include "core/Clock.h"
#include "core/SingleInstance.h"
#include "core/TermSignals.h"
#include "core/UserPrompt.h"
#include "transfer/Engine.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <cstdio>

TimerIntervals AppTimerIntervals()
{
    TimerIntervals intervals;
#ifdef PW_TEST_HOOKS
    const QList<QByteArray> ms = qgetenv("PARCELWISE_TEST_INTERVALS").split(',');
    if (ms.size() == 3) {
        intervals.StartQTimer = std::max(1, ms[0].toInt());
        intervals.QueueTimer = std::max(1, ms[1].toInt());
        intervals.QuitTimer = std::max(1, ms[2].toInt());
    }
#endif
    return intervals;
}

int RunHeadless(const QString &programFolder)
{
    SingleInstance instance(programFolder);
    const SingleInstance::Result lock = instance.Acquire();
    if (lock == SingleInstance::Result::Failed) {
        PrintLines(true, {instance.FailureText()});
        return ExitFailure;
    }
    if (lock == SingleInstance::Result::HeldByOther) {
        const QByteArray holder = HolderDescription(programFolder);
        PrintLines(true, {QByteArray(AlreadyRunningText) + " Another Parcelwise" +
                          (holder.isEmpty() ? QByteArray() : " (" + holder + ")") + " uses " +
                          QFile::encodeName(programFolder) + "; try parcelwise --status"});
        return ExitFailure;
    }
    // Said at once: the first log lines follow only when the program folder has been read.
    PrintLines(false, {"Starting Parcelwise in " + QFile::encodeName(programFolder) + "…"});
    HeadlessPrompt prompt;
    SystemClock clock;
    const TimerIntervals intervals = AppTimerIntervals();
    // Standard output may be a pipe that is slow, closed or never read: the copy of the log
    // there never holds up the engine.
    StdoutRelay relay;
    Engine engine(programFolder, clock, prompt, intervals);
    // The preference "NM" decides whether the router maps the port.
    engine.AllowPortMapping(true);
    QObject::connect(&engine.Log(), &TransferLog::LineAdded, &engine, [&relay](const QByteArray &line, bool) {
        relay.Write(line);
    });
    prompt.SetReport([&engine](const QByteArray &line) { engine.Showit(line); });

    engine.InitGlobals();
    engine.MainWindowLoad();

    LinkServer link([&engine](const LinkMessage &request) {
        if (std::optional<LinkMessage> reply = AnswerEngineRequest(engine, request, "headless"))
            return *reply;
        if (request.first() == LinkVerb::Raise || request.first() == LinkVerb::Open)
            return LinkMessage{LinkVerb::Refused, "Parcelwise runs without a window in " +
                                                      QFile::encodeName(engine.Paths().ProgramFolder) +
                                                      "; queue files with parcelwise --send USER FILE..."};
        return LinkMessage{LinkVerb::Refused, "unknown request " + request.first()};
    });
    QObject::connect(&link, &LinkServer::Rejected, &engine, [&engine](uid_t peer) {
        engine.Showit("Refused a local connection of user " + QByteArray::number(static_cast<qlonglong>(peer)));
    });
    if (!link.Listen(LinkPath(programFolder)))
        PrintLines(true, {"no local link for --send, --list and --status: " + link.ErrorText().toLocal8Bit()});

    // With only the loopback address the window waits for the user's command; without a window
    // there is no one to give it, so communications start anyway, on the event loop's first turn
    // right after the engine's own check of the address.
    QTimer loopbackStart;
    loopbackStart.setSingleShot(true);
    QObject::connect(&loopbackStart, &QTimer::timeout, &engine, [&engine] {
        if (engine.ShuttingDown || engine.TimersRunning())
            return;
        engine.StartQTick();
        if (engine.TimersRunning())
            return;
        engine.Showit("No network address: communications started on 127.0.0.1");
        engine.StartChannels();
    });
    loopbackStart.start(0);

    QObject::connect(&engine, &Engine::QuitReady, qApp, [] { QCoreApplication::quit(); });
    TermSignals termSignals([&engine] { engine.BeginShutdown(); });
    QCoreApplication::exec();
    return ExitOk;
}
