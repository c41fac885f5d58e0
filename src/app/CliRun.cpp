// --send, --list and --status: short commands that ask the running installation, or work on the
// stored files when nothing runs in the folder.
#include "app/AppRun.h"

#include "app/InstanceCommands.h"
#include "app/HandoverJournal.h"
#include "app/InstanceLink.h"
#include "app/SendRequest.h"
#include "core/PathCheck.h"
#include "core/Clock.h"
#include "core/FileOps.h"
#include "core/Identity.h"
#include "core/ProgramPaths.h"
#include "core/Preferences.h"
#include "core/SingleInstance.h"
#include "core/Users.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {
// How long a command waits for an installation that holds its folder but does not answer yet
// (it is starting, or shutting down and writing its queue).
constexpr int BusyFolderWaitMs = 30000;

QByteArray FolderText(const QString &folder)
{
    return QFile::encodeName(QDir::toNativeSeparators(folder));
}

// The running installation's final word, printed; the exit status, or nullopt when it gave none
// (it did not answer, or it is closing).
std::optional<int> FinalAnswer(const std::optional<LinkMessage> &reply)
{
    if (reply && reply->first() == LinkVerb::Ok) {
        PrintLines(false, reply->mid(1));
        return ExitOk;
    }
    if (reply && reply->first() == LinkVerb::Refused) {
        PrintLines(true, reply->mid(1));
        return ExitFailure;
    }
    return std::nullopt;
}

// Nothing in the folder is an installation: no stored file, no logs, no live holder of its lock.
bool NoInstallation(const QString &programFolder)
{
    return !HoldsInstallation(programFolder) && SingleInstance::LiveHolder(programFolder) == 0;
}
} // namespace

void PrintLines(bool toError, const QList<QByteArray> &lines)
{
    FILE *out = toError ? stderr : stdout;
    for (QByteArray line : lines) {
        if (line.isEmpty())
            continue;
        if (toError)
            line.prepend("parcelwise: ");
        if (!line.endsWith('\n'))
            line += '\n';
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), out);
    }
    std::fflush(out);
}

QByteArray CurrentFolderBytes()
{
    QByteArray buffer(4096, '\0');
    while (::getcwd(buffer.data(), static_cast<size_t>(buffer.size())) == nullptr) {
        if (errno != ERANGE)
            return QFile::encodeName(QDir::currentPath());
        buffer.resize(buffer.size() * 2);
    }
    return QByteArray(buffer.constData());
}

int RunSend(const CommandLine &line, const QString &programFolder)
{
    SendRequest request;
    request.user = line.user;
    request.message = line.message;
    request.priority = line.priority;
    const QByteArray cwd = CurrentFolderBytes();
    for (const QByteArray &file : line.files)
        request.paths << ResolveQueuePath(file, cwd);

    const QString link = LinkPath(programFolder);
    // The same id goes with every asking, so the installation acts on this request once.
    const QByteArray id = NewHandoverId();
    const LinkMessage ask = LinkMessage{LinkVerb::AddOnce, id, request.user, request.message,
                                        QByteArray::number(request.priority)} +
                            request.paths;
    QDeadlineTimer deadline(BusyFolderWaitMs);
    for (;;) {
        // Closing: the running program has written its queue file for the last time; the rows go
        // into the file once it has ended.
        if (const std::optional<int> status = FinalAnswer(AskInstance(link, ask)))
            return *status;
        // Nothing answers: check against the stored address book, then edit the queue file
        // while holding the folder, so a program starting meanwhile reads the new rows.
        if (NoInstallation(programFolder)) {
            PrintLines(true, {NoInstallationText(programFolder), "nothing was queued"});
            return ExitFailure;
        }
        UserList users;
        LoadUsersFile(programFolder, users);
        const QList<QByteArray> problems = CheckSendRequest(request, users);
        if (!problems.isEmpty()) {
            PrintLines(true, problems + QList<QByteArray>{"nothing was queued"});
            return ExitFailure;
        }
        if (::access(QFile::encodeName(programFolder).constData(), W_OK) != 0) {
            PrintLines(true, {"cannot write in " + FolderText(programFolder) + "; nothing was queued"});
            return ExitFailure;
        }
        SingleInstance instance(programFolder);
        const SingleInstance::Result lock = instance.Acquire();
        if (lock == SingleInstance::Result::Failed) {
            PrintLines(true, {instance.FailureText() + "; nothing was queued"});
            return ExitFailure;
        }
        if (lock == SingleInstance::Result::Acquired) {
            // The installation may have queued them and ended before its answer came.
            const bool doneByIt = HandoverDone(programFolder, id);
            SystemClock clock;
            if (!doneByIt && !AppendToQueueFile(programFolder, MakeSendItems(request, clock.nowSerial()))) {
                PrintLines(true, {"cannot write the queue file in " + FolderText(programFolder) +
                                  "; nothing was queued"});
                return ExitFailure;
            }
            const qsizetype n = request.paths.size();
            PrintLines(false, {"Queued " + QByteArray::number(n) + (n == 1 ? " file" : " files") + " for " +
                               request.user + " at priority " + QByteArray::number(request.priority) +
                               "; Parcelwise " + (doneByIt ? "has ended" : "is not running") + " in " +
                               FolderText(programFolder) + " and sends " + (n == 1 ? "it" : "them") +
                               " when it next starts."});
            return ExitOk;
        }
        if (deadline.hasExpired()) {
            PrintLines(true, {"the installation in " + FolderText(programFolder) +
                              " is in use but does not answer; nothing was queued"});
            return ExitFailure;
        }
        QThread::msleep(200);
    }
}

int RunList(const QString &programFolder)
{
    // A long queue comes in parts, each printed as it arrives.
    bool printed = false;
    const std::optional<LinkMessage> reply = AskInstance(LinkPath(programFolder), {LinkVerb::List}, 10000,
                                                         [&printed](const QByteArray &part) {
                                                             std::fwrite(part.constData(), 1, part.size(), stdout);
                                                             printed = true;
                                                         });
    if (reply && reply->first() == LinkVerb::Ok) {
        if (printed)
            std::fflush(stdout);
        else
            PrintLines(false, reply->mid(1));
        return ExitOk;
    }
    if (printed) {
        std::fflush(stdout);
        PrintLines(true, {"the queue's listing was cut off"});
        return ExitFailure;
    }
    if (NoInstallation(programFolder)) {
        PrintLines(true, {NoInstallationText(programFolder)});
        return ExitFailure;
    }
    SystemClock clock;
    const QString path = MakeProgramPaths(programFolder).QueueFile;
    const std::vector<QueueItem> items = DecodeQueueFile(ReadStoredFile(path), clock.nowSerial());
    if (const qint64 pid = SingleInstance::LiveHolder(programFolder)) {
        PrintLines(true, {"Parcelwise is running in " + FolderText(programFolder) + " (process " +
                          QByteArray::number(pid) + ") but does not answer; the queue as last stored:"});
        PrintLines(false, {QueueTable(items, clock.nowSerial())});
        return ExitFailure;
    }
    PrintLines(false, {"Parcelwise is not running in " + FolderText(programFolder) + "; the stored queue:",
                       QueueTable(items, clock.nowSerial())});
    return ExitOk;
}

// The key of an installation that does not run, read from its key file.
static QByteArray StoredKeyLine(const QString &programFolder)
{
    const Identity identity = ReadIdentityPem(ReadStoredFile(QDir(programFolder).filePath(KeyFileName)));
    return "Key: " + (identity.IsValid() ? GroupedFingerprint(identity.fingerprint) : QByteArray("none"));
}

int RunStatus(const QString &programFolder)
{
    if (const std::optional<LinkMessage> reply = AskInstance(LinkPath(programFolder), {LinkVerb::Status});
        reply && reply->first() == LinkVerb::Ok) {
        PrintLines(false, reply->mid(1));
        return ExitOk;
    }
    if (NoInstallation(programFolder)) {
        PrintLines(false, {"Parcelwise is not running in " + FolderText(programFolder) + ": " +
                           NoInstallationText(programFolder)});
        return ExitFailure;
    }
    Preferences prefs;
    LoadPrefsFile(programFolder, prefs);
    if (const qint64 pid = SingleInstance::LiveHolder(programFolder)) {
        PrintLines(false, {"Parcelwise is running in " + FolderText(programFolder) + " (process " +
                               QByteArray::number(pid) + ") but does not answer" +
                               (LinkPath(programFolder).isEmpty() ? QByteArray(": there is no private folder for its local link")
                                                                  : QByteArray()),
                           "Port: " + QByteArray::number(prefs.ListenPort) + " (from the preferences)", StoredKeyLine(programFolder)});
        return ExitFailure;
    }
    PrintLines(false, {"Parcelwise is not running in " + FolderText(programFolder),
                       "Port: " + QByteArray::number(prefs.ListenPort) + " (from the preferences)",
                       StoredKeyLine(programFolder)});
    return ExitFailure;
}

QByteArray HolderDescription(const QString &programFolder)
{
    const qint64 pid = SingleInstance::LiveHolder(programFolder);
    if (pid == 0)
        return {};
    QByteArray text = "process " + QByteArray::number(pid);
    if (const std::optional<LinkMessage> reply = AskInstance(LinkPath(programFolder), {LinkVerb::Status}, 2000);
        reply && reply->first() == LinkVerb::Ok && reply->size() > 1) {
        if (reply->at(1).startsWith("Parcelwise is running headless"))
            text += ", headless";
        else if (reply->at(1).startsWith("Parcelwise is running with its window"))
            text += ", with its window";
    }
    return text;
}

QByteArray NoInstallationText(const QString &programFolder)
{
    return "there is no Parcelwise installation in " + FolderText(programFolder) +
           " (no users, preferences or queue file); start one there with parcelwise or parcelwise "
           "--headless, or name its folder with --folder DIR";
}

int RunClearSent(const QString &programFolder)
{
    QDeadlineTimer deadline(BusyFolderWaitMs);
    for (;;) {
        if (const std::optional<int> status = FinalAnswer(AskInstance(LinkPath(programFolder), {LinkVerb::ClearSent})))
            return *status;
        if (NoInstallation(programFolder)) {
            PrintLines(true, {NoInstallationText(programFolder)});
            return ExitFailure;
        }
        SingleInstance instance(programFolder);
        const SingleInstance::Result lock = instance.Acquire();
        if (lock == SingleInstance::Result::Failed) {
            PrintLines(true, {instance.FailureText()});
            return ExitFailure;
        }
        if (lock == SingleInstance::Result::Acquired) {
            const int removed = RemoveSentRowsFromQueueFile(programFolder);
            if (removed < 0) {
                PrintLines(true, {"cannot rewrite the queue file in " + FolderText(programFolder) +
                                  "; it stays as it was"});
                return ExitFailure;
            }
            PrintLines(false, {"Removed " + QByteArray::number(removed) + (removed == 1 ? " sent row" : " sent rows") +
                               " from the stored queue; Parcelwise is not running in " + FolderText(programFolder) +
                               "."});
            return ExitOk;
        }
        if (deadline.hasExpired()) {
            PrintLines(true, {"the installation in " + FolderText(programFolder) + " (" +
                              HolderDescription(programFolder) + ") is running but does not answer"});
            return ExitFailure;
        }
        QThread::msleep(200);
    }
}
