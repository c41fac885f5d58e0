// The desktop menu entry the run command writes: valid for the desktop's own checker whatever
// the folder is called, and read back by the desktop's rules it names exactly the program and
// folder it was written for.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

namespace {

// Undoes the escapes every string value has.
QString StringValue(const QString &raw)
{
    QString out;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] != u'\\' || i + 1 == raw.size()) {
            out += raw[i];
            continue;
        }
        const QChar c = raw[++i];
        out += c == u'n' ? QChar(u'\n') : c == u't' ? QChar(u'\t') : c == u'r' ? QChar(u'\r') : c == u's' ? QChar(u' ') : c;
    }
    return out;
}

// The first argument of an Exec value (after the string escapes are undone), with its quoting
// and doubled "%" undone; empty when it is not one quoted argument.
QString FirstExecArgument(const QString &exec)
{
    if (!exec.startsWith(u'"'))
        return {};
    QString arg;
    for (qsizetype i = 1; i < exec.size(); ++i) {
        if (exec[i] == u'\\' && i + 1 < exec.size()) {
            arg += exec[++i];
        } else if (exec[i] == u'"') {
            return arg.replace(QStringLiteral("%%"), QStringLiteral("%"));
        } else {
            arg += exec[i];
        }
    }
    return {};
}

QString Key(const QString &entry, const QString &key)
{
    for (const QString &line : entry.split(u'\n'))
        if (line.startsWith(key + u'='))
            return line.mid(key.size() + 1);
    return {};
}

} // namespace

TEST(DesktopEntry, OddFolderNamesGiveAValidEntryNamingThemExactly)
{
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    ASSERT_FALSE(validator.isEmpty()) << "desktop-file-validate is missing (scripts/install-deps.sh installs it)";
    ScratchDir dir;
    const QString odd[] = {
        QStringLiteral("/opt/plain"),
        QStringLiteral("/home/me/My Files/100% sure"),
        QStringLiteral("/srv/back\\slash/q\"uote/dol$lar/back`tick"),
        QStringLiteral("/tmp/semi;colon#hash [x]=y 'single'"),
        QStringLiteral("/tmp/line\nbreak\ttab"),
        QString::fromUtf8("/home/j\u00fcrgen/\u6771\u4eac/%F %u"),
    };
    for (const QString &root : odd) {
        // A program path with "%" is refused (below); the folder may hold anything.
        const QString program =
            (root.contains(u'%') ? QStringLiteral("/opt/plain") : root) + QStringLiteral("/build/parcelwise");
        const QString folder = root + QStringLiteral("/run");
        QProcess script;
        script.start(QStringLiteral("bash"),
                     {QStringLiteral(PW_SOURCE_DIR "/scripts/desktop-entry.sh"), program, folder});
        ASSERT_TRUE(script.waitForFinished(20000));
        ASSERT_EQ(script.exitCode(), 0) << script.readAllStandardError().toStdString();
        const QByteArray entry = script.readAllStandardOutput();
        dir.write(QStringLiteral("parcelwise.desktop"), entry);

        QProcess check;
        check.setProcessChannelMode(QProcess::MergedChannels);
        check.start(validator, {dir.file(QStringLiteral("parcelwise.desktop"))});
        ASSERT_TRUE(check.waitForFinished(20000));
        EXPECT_EQ(check.exitCode(), 0) << root.toStdString() << "\n" << check.readAll().toStdString();
        EXPECT_EQ(check.readAll(), QByteArray()) << root.toStdString();

        const QString text = QString::fromUtf8(entry);
        const QString exec = StringValue(Key(text, QStringLiteral("Exec")));
        EXPECT_EQ(FirstExecArgument(exec), program) << exec.toStdString();
        EXPECT_TRUE(exec.endsWith(QStringLiteral(" %F"))) << exec.toStdString();
        EXPECT_EQ(StringValue(Key(text, QStringLiteral("Path"))), folder);
        EXPECT_FALSE(Key(text, QStringLiteral("GenericName")).isEmpty());
        EXPECT_FALSE(Key(text, QStringLiteral("Keywords")).isEmpty());
    }

    // A control character cannot be written into an entry, and a program path with "%" cannot be
    // started by the desktop's launcher: the script says so and fails.
    for (const QString &program : {QStringLiteral("/opt/x\x01y/parcelwise"), QStringLiteral("/opt/100% sure/parcelwise")}) {
        QProcess script;
        script.start(QStringLiteral("bash"),
                     {QStringLiteral(PW_SOURCE_DIR "/scripts/desktop-entry.sh"), program, QStringLiteral("/opt/x")});
        ASSERT_TRUE(script.waitForFinished(20000));
        EXPECT_EQ(script.exitCode(), 1);
        const QByteArray said = script.readAllStandardError();
        EXPECT_FALSE(said.isEmpty());
        EXPECT_EQ(said.contains("\"%\""), program.contains(u'%')) << said.toStdString();
    }
}

TEST(DesktopEntry, TheDesktopsLauncherStartsTheProgramInAFolderWithOddCharacters)
{
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    ASSERT_FALSE(gio.isEmpty()) << "gio is missing (scripts/install-deps.sh installs it)";
    ScratchDir dir;
    // A stand-in program that notes the folder it was started in.
    dir.write(QStringLiteral("prog"), "#!/bin/sh\npwd > \"$0.part\" && mv \"$0.part\" \"$0.ran\"\n");
    QFile::setPermissions(dir.file(QStringLiteral("prog")), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QString folder = dir.file(QStringLiteral("100% sure $x \"q\""));
    ASSERT_TRUE(QDir().mkpath(folder));
    QProcess script;
    script.start(QStringLiteral("bash"),
                 {QStringLiteral(PW_SOURCE_DIR "/scripts/desktop-entry.sh"), dir.file(QStringLiteral("prog")), folder});
    ASSERT_TRUE(script.waitForFinished(20000));
    ASSERT_EQ(script.exitCode(), 0) << script.readAllStandardError().toStdString();
    dir.write(QStringLiteral("parcelwise.desktop"), script.readAllStandardOutput());
    QProcess launch;
    launch.setProcessChannelMode(QProcess::MergedChannels);
    launch.start(gio, {QStringLiteral("launch"), dir.file(QStringLiteral("parcelwise.desktop"))});
    ASSERT_TRUE(launch.waitForFinished(20000));
    EXPECT_EQ(launch.exitCode(), 0) << launch.readAll().toStdString();
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(dir.file(QStringLiteral("prog.ran"))); }));
    EXPECT_EQ(dir.read(QStringLiteral("prog.ran")).trimmed(), QFile::encodeName(folder));
}
