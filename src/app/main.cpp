// Process entry: the command line picks the way the program runs. Only the window needs a
// display; the other forms run on a plain application object.
#include "app/AppRun.h"
#include "app/CommandLine.h"
#include "app/SendRequest.h"
#include "core/PathCheck.h"
#include "ui/Icons.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <csignal>
#include <sys/stat.h>

namespace {
// The installation's folder: the one --folder names (absolute, as the program works on it), or
// the current one. Empty, with the reason printed, when the named one is no folder.
QString ProgramFolderOf(const CommandLine &line)
{
    if (line.folder.isEmpty())
        return QDir::currentPath();
    const QString folder = QDir(QDir::currentPath()).absoluteFilePath(QFile::decodeName(line.folder));
    if (!QFileInfo(folder).isDir()) {
        PrintLines(true, {"--folder " + line.folder + ": no such folder"});
        return {};
    }
    return QDir::cleanPath(folder);
}
} // namespace

int main(int argc, char **argv)
{
    // A reader that went away (a closed pipe, a peer's reset) is an error of that one write, never
    // the end of the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Everything the program creates (stored files, logs, received files, folders) is its
    // user's alone: files 0600, folders 0700.
    ::umask(077);
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i)
        args << QByteArray(argv[i]);
    const CommandLine line = ParseCommandLine(args);
    if (!line.error.isEmpty()) {
        PrintLines(true, {line.error, "try parcelwise --help"});
        return ExitUsage;
    }
    switch (line.mode) {
    case CommandLine::Mode::Help:
        PrintLines(false, {UsageText()});
        return ExitOk;
    case CommandLine::Mode::Version:
        PrintLines(false, {VersionLine()});
        return ExitOk;
    case CommandLine::Mode::Window:
        break;
    default: {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Parcelwise"));
        const QString folder = ProgramFolderOf(line);
        if (folder.isEmpty())
            return ExitUsage;
        switch (line.mode) {
        case CommandLine::Mode::Headless:
            return RunHeadless(folder);
        case CommandLine::Mode::Send:
            return RunSend(line, folder);
        case CommandLine::Mode::List:
            return RunList(folder);
        case CommandLine::Mode::ClearSent:
            return RunClearSent(folder);
        default:
            return RunStatus(folder);
        }
    }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parcelwise"));
    QApplication::setDesktopFileName(QStringLiteral("parcelwise"));
    QApplication::setWindowIcon(AppIcon());
    // A file manager hands over paths as they are; a relative one is taken from here.
    QList<QByteArray> files;
    const QByteArray cwd = CurrentFolderBytes();
    for (const QByteArray &file : line.files)
        files << ResolveQueuePath(file, cwd);
    const QString folder = ProgramFolderOf(line);
    if (folder.isEmpty())
        return ExitUsage;
    return RunWindow(app, folder, files);
}
