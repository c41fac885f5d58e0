// What the program was asked to do on its command line. Arguments are bytes as the shell
// passed them: file paths and the message travel into the queue unchanged.
#pragma once

#include <QByteArray>
#include <QList>

struct CommandLine {
    enum class Mode {
        Window,   // the main window, optionally with files for the queue loader
        Headless, // the same installation without a window
        Send,     // put files in the queue
        List,     // print the queue
        Status,   // print whether the installation runs and what its channels do
        ClearSent, // take the delivered rows out of the queue
        Help,
        Version,
    };
    Mode mode = Mode::Window;
    QByteArray user;          // Send: the addressee
    QList<QByteArray> files;  // Send, and Window when started with files
    QByteArray message;       // Send
    int priority = 3;         // Send
    QByteArray folder;        // --folder: the installation's folder instead of the current one
    QByteArray error;         // set when the arguments make no sense; nothing else is then valid
};

// args: the arguments without the program's own name.
CommandLine ParseCommandLine(const QList<QByteArray> &args);

QByteArray UsageText();
QByteArray VersionLine();

// Exit statuses of the command-line forms.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailure = 1;  // refused, or not possible now (folder in use, nothing running)
inline constexpr int ExitUsage = 2;    // arguments that make no sense
