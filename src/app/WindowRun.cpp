// The program with its main window, and what a second start does while it runs.
#include "app/AppRun.h"

#include "app/InstanceCommands.h"
#include "app/InstanceLink.h"
#include "core/Clock.h"
#include "core/SingleInstance.h"
#include "core/TermSignals.h"
#include "transfer/Engine.h"
#include "ui/ParcelWin.h"
#include "ui/WidgetPrompt.h"
#include "ui/Widgets.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

namespace {
// How long a second start waits for a folder whose holder does not answer on the link: it may
// be a --send editing the queue file, which lets go within moments.
constexpr int SilentHolderWaitMs = 3000;

void Raise(QWidget &window)
{
    window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window.show();
    window.raise();
    window.activateWindow();
}

// Another instance holds the folder. Returns the exit status of this start, or nullopt when the
// holder went away meanwhile and this start is to become the running instance.
std::optional<int> SecondStart(SingleInstance &instance, const QString &programFolder, const QList<QByteArray> &files,
                               UserPrompt &prompt)
{
    const QString link = LinkPath(programFolder);
    const LinkMessage request = files.isEmpty() ? LinkMessage{LinkVerb::Raise} : LinkMessage{LinkVerb::Open} + files;
    QDeadlineTimer deadline(SilentHolderWaitMs);
    for (;;) {
        if (const std::optional<LinkMessage> reply = AskInstance(link, request)) {
            if (!files.isEmpty() && reply->first() == LinkVerb::Ok)
                return ExitOk;
            if (!files.isEmpty() && reply->size() > 1) {
                PrintLines(true, reply->mid(1));
                prompt.Message(QString::fromLocal8Bit(reply->at(1)));
                return ExitFailure;
            }
            break;
        }
        if (instance.Acquire() == SingleInstance::Result::Acquired)
            return std::nullopt;
        if (deadline.hasExpired())
            break;
        QThread::msleep(100);
    }
    const QByteArray holder = HolderDescription(programFolder);
    prompt.Message(QString::fromLatin1(AlreadyRunningText) +
                   (holder.isEmpty() ? QString() : QStringLiteral("\n\n(") + QString::fromLocal8Bit(holder) + u')'));
    return ExitFailure;
}
} // namespace

int RunWindow(QApplication &app, const QString &programFolder, const QList<QByteArray> &files)
{
    // Every dialog opens within its screen, however small or scaled, and names the installation.
    app.installEventFilter(new DialogFitter(&app, programFolder));
    WidgetPrompt prompt;
    SingleInstance instance(programFolder);
    const SingleInstance::Result lock = instance.Acquire();
    if (lock == SingleInstance::Result::Failed) {
        // Not another instance: the folder itself is unusable (read-only, gone, not a folder).
        PrintLines(true, {instance.FailureText()});
        prompt.Message(QString::fromLocal8Bit(instance.FailureText()));
        return ExitFailure;
    }
    if (lock == SingleInstance::Result::HeldByOther)
        if (const std::optional<int> status = SecondStart(instance, programFolder, files, prompt))
            return *status;

    SystemClock clock;
    Engine engine(programFolder, clock, prompt, AppTimerIntervals());
    // The preference "NM" decides whether the router maps the port.
    engine.AllowPortMapping(true);
    engine.InitGlobals();
    ParcelWin window(engine);
    engine.MainWindowLoad();
    QObject::connect(&engine, &Engine::QuitReady, &app, [&window] {
        window.close();
        QApplication::quit();
    });
    TermSignals termSignals([&engine] { engine.BeginShutdown(); });

    LinkServer link([&](const LinkMessage &request) {
        if (std::optional<LinkMessage> reply = AnswerEngineRequest(engine, request, "with its window"))
            return *reply;
        if (request.first() == LinkVerb::Raise) {
            Raise(window);
            return LinkMessage{LinkVerb::Ok};
        }
        if (request.first() == LinkVerb::Open) {
            if (engine.ShuttingDown)
                return LinkMessage{LinkVerb::Refused, "Parcelwise is shutting down; try again when it has ended"};
            Raise(window);
            // The loader is modal: it runs after this reply has gone, not inside the link's handler.
            const QList<QByteArray> paths = request.mid(1);
            QTimer::singleShot(0, &window, [&window, paths] { window.ShowQueueLoader(paths); });
            return LinkMessage{LinkVerb::Ok};
        }
        return LinkMessage{LinkVerb::Refused, "unknown request " + request.first()};
    });
    QObject::connect(&link, &LinkServer::Rejected, &engine, [&engine](uid_t peer) {
        engine.Showit("Refused a local connection of user " + QByteArray::number(static_cast<qlonglong>(peer)));
    });
    link.Listen(LinkPath(programFolder));

    window.show();
    if (!files.isEmpty())
        QTimer::singleShot(0, &window, [&window, files] { window.ShowQueueLoader(files); });
    return QApplication::exec();
}
