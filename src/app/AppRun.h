// The ways the program runs, one function each; main() picks one from the command line.
#pragma once

#include "app/CommandLine.h"
#include "core/Timers.h"

#include <QByteArray>
#include <QList>
#include <QString>

class QApplication;

// The main window over the installation in the folder; files are listed in the queue loader.
// A second start raises the running window (files: hands them to it) instead.
int RunWindow(QApplication &app, const QString &programFolder, const QList<QByteArray> &files);
// The same installation without a window, until SIGTERM, SIGINT or SIGHUP.
int RunHeadless(const QString &programFolder);
int RunSend(const CommandLine &line, const QString &programFolder);
int RunList(const QString &programFolder);
int RunStatus(const QString &programFolder);
int RunClearSent(const QString &programFolder);
// Who holds the folder: "process 1234, headless" or "process 1234, with its window" (the way of
// running asked over the local link, left out when it does not answer); empty when nothing does.
QByteArray HolderDescription(const QString &programFolder);
// The words for a folder that holds no installation, naming the folder.
QByteArray NoInstallationText(const QString &programFolder);

// The engine's timer intervals. A build with the tests reads shorter ones for its process tests
// from PARCELWISE_TEST_INTERVALS ("start,queue,quit" in milliseconds); the program as shipped
// has no such hook.
TimerIntervals AppTimerIntervals();

// The text of a second start: the same words as the window's message box.
inline constexpr char AlreadyRunningText[] = "This program is already running!";

// Lines for the terminal, each ended by a line end.
void PrintLines(bool toError, const QList<QByteArray> &lines);
// The current folder as the system names it (bytes, unlike the decoded QDir::currentPath()).
QByteArray CurrentFolderBytes();
