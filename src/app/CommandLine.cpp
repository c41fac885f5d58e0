// Command-line parsing: one mode option at most, its own options, and operands (a "--" ends the
// options, so a file whose name starts with "-" can still be given).
#include "app/CommandLine.h"

namespace {
struct ModeOption {
    const char *name;
    CommandLine::Mode mode;
};
constexpr ModeOption ModeOptions[] = {
    {"--headless", CommandLine::Mode::Headless},
    {"--send", CommandLine::Mode::Send},
    {"--list", CommandLine::Mode::List},
    {"--status", CommandLine::Mode::Status},
    {"--clear-sent", CommandLine::Mode::ClearSent},
};

CommandLine Only(CommandLine::Mode mode)
{
    CommandLine line;
    line.mode = mode;
    return line;
}

CommandLine Refused(const QByteArray &error)
{
    CommandLine line;
    line.error = error;
    return line;
}

QByteArray ModeName(CommandLine::Mode mode)
{
    for (const ModeOption &option : ModeOptions)
        if (option.mode == mode)
            return option.name;
    return {};
}
} // namespace

CommandLine ParseCommandLine(const QList<QByteArray> &args)
{
    for (const QByteArray &arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h")
            return Only(CommandLine::Mode::Help);
    }
    for (const QByteArray &arg : args) {
        if (arg == "--")
            break;
        if (arg == "--version" || arg == "-V")
            return Only(CommandLine::Mode::Version);
    }

    CommandLine line;
    bool modeGiven = false, messageGiven = false, priorityGiven = false, folderGiven = false, optionsEnded = false;
    QList<QByteArray> operands;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QByteArray &arg = args[i];
        if (optionsEnded || !arg.startsWith('-') || arg == "-") {
            operands << arg;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        bool isMode = false;
        for (const ModeOption &option : ModeOptions) {
            if (arg != option.name)
                continue;
            if (modeGiven && line.mode != option.mode)
                return Refused(ModeName(line.mode) + " and " + arg + " cannot be used together");
            line.mode = option.mode;
            modeGiven = isMode = true;
        }
        if (isMode)
            continue;
        // --message TEXT, --message=TEXT; the same for --priority.
        QByteArray name = arg, value;
        bool hasValue = false;
        if (const qsizetype eq = arg.indexOf('='); eq > 0 && arg.startsWith("--")) {
            name = arg.left(eq);
            value = arg.mid(eq + 1);
            hasValue = true;
        }
        if (name != "--message" && name != "--priority" && name != "--folder")
            return Refused("unknown option " + arg);
        if (!hasValue) {
            if (i + 1 >= args.size())
                return Refused(name + " needs a value");
            value = args[++i];
        }
        if (name == "--folder") {
            if (folderGiven)
                return Refused("--folder is given twice");
            if (value.isEmpty())
                return Refused("--folder needs a folder");
            folderGiven = true;
            line.folder = value;
        } else if (name == "--message") {
            if (messageGiven)
                return Refused("--message is given twice");
            messageGiven = true;
            line.message = value;
        } else {
            if (priorityGiven)
                return Refused("--priority is given twice");
            priorityGiven = true;
            if (value != "1" && value != "2" && value != "3")
                return Refused("--priority must be 1, 2 or 3, not \"" + value + "\"");
            line.priority = value.toInt();
        }
    }

    if ((messageGiven || priorityGiven) && line.mode != CommandLine::Mode::Send)
        return Refused(QByteArray(messageGiven ? "--message" : "--priority") + " belongs to --send");
    switch (line.mode) {
    case CommandLine::Mode::Send:
        if (operands.size() < 2)
            return Refused("--send needs a user and at least one file");
        line.user = operands.takeFirst();
        line.files = operands;
        break;
    case CommandLine::Mode::Window:
        line.files = operands;
        break;
    default:
        if (!operands.isEmpty())
            return Refused(ModeName(line.mode) + " takes no other arguments (\"" + operands.first() + "\")");
        break;
    }
    return line;
}

QByteArray VersionLine()
{
    return "Parcelwise Version " PW_VERSION "\n";
}

QByteArray UsageText()
{
    return "Usage: parcelwise [--folder DIR] [FILE...]\n"
           "       parcelwise [--folder DIR] --headless\n"
           "       parcelwise [--folder DIR] --send USER FILE... [--message TEXT] [--priority 1|2|3]\n"
           "       parcelwise [--folder DIR] --list | --status | --clear-sent\n"
           "       parcelwise --help | --version\n"
           "\n"
           "Send some files, Get some files. Parcelwise keeps its users, preferences, queue,\n"
           "downloads and logs in the folder it is started from; every command below works on\n"
           "the installation in the current folder, or in the one --folder names.\n"
           "\n"
           "  (no option)    open the main window; files given are listed in the queue loader.\n"
           "                 When the installation already runs, its window is raised and the\n"
           "                 files are handed to it.\n"
           "  --headless     run without a window: receive and send as the window does, log\n"
           "                 lines also to standard output (a slow reader loses lines there,\n"
           "                 never the log file). SIGTERM, SIGINT or SIGHUP shut it down in\n"
           "                 order.\n"
           "  --send USER FILE...\n"
           "                 queue files for USER (a name of the address book), at priority\n"
           "                 --priority (default 3) with the message --message. A running\n"
           "                 installation takes them at once; otherwise they are sent at its\n"
           "                 next start. If any file is refused, nothing is queued.\n"
           "  --list         print the queue.\n"
           "  --clear-sent   take the rows already sent out of the queue (the running\n"
           "                 installation's, or the stored queue file's); other rows stay.\n"
           "  --status       print whether the installation runs, its port and address, and\n"
           "                 what each channel is doing.\n"
           "  --folder DIR   work on the installation in DIR instead of the current folder\n"
           "                 (with any of the above; files given to --send are still taken\n"
           "                 from the current folder).\n"
           "  --help         print this text.\n"
           "  --version      print the version.\n"
           "\n"
           "Behind a home router the listening port is mapped on the router (NAT-PMP, then UPnP;\n"
           "preference Router Port Mapping) and the address page names the address the world\n"
           "sees. Peers in the same house reach that address only if the router supports\n"
           "hairpin connections. Two environment variables name the router instead of finding\n"
           "it (nothing is then discovered; an unusable value turns mapping off):\n"
           "  PARCELWISE_NATPMP_GATEWAY=ADDRESS   NAT-PMP to ADDRESS port 5351\n"
           "  PARCELWISE_IGD_URL=URL              UPnP with the root description at URL\n"
           "\n"
           "Exit status: 0 done; 1 refused or not possible now (for --status: not running);\n"
           "2 arguments that make no sense.\n";
}
