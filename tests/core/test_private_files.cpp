// The program folder against other local users: stored files private to their owner, symbolic
// links and FIFOs planted where the program keeps or reads its files.
#include "TestSupport.h"
#include "core/FileOps.h"
#include "core/ProgramPaths.h"
#include "core/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
mode_t ModeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
bool IsLink(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}
void Link(const QString &target, const QString &link)
{
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0);
}
} // namespace

TEST(PrivateFiles, SaveReplacesAPlantedLinkAndIsPrivate)
{
    ScratchDir dir;
    dir.write("other", "the owner's other file");
    Link(dir.file("other"), dir.file("Parcelwise_Queue"));
    ASSERT_EQ(WriteWholeFile(dir.file("Parcelwise_Queue"), "rows"), WriteOk);
    EXPECT_EQ(dir.read("other"), "the owner's other file");
    EXPECT_FALSE(IsLink(dir.file("Parcelwise_Queue")));
    EXPECT_EQ(dir.read("Parcelwise_Queue"), "rows");
    EXPECT_EQ(ModeOf(dir.file("Parcelwise_Queue")), 0600u);
    // A new file is private too, and no temporary file is left behind.
    ASSERT_EQ(WriteWholeFile(dir.file("Parcelwise_Users"), "users"), WriteOk);
    EXPECT_EQ(ModeOf(dir.file("Parcelwise_Users")), 0600u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

TEST(PrivateFiles, StoredFilesAreReadOnlyWhenTheyAreRegularFiles)
{
    ScratchDir dir;
    dir.write("real", "content");
    Link(dir.file("real"), dir.file("link"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.file("fifo")).constData(), 0600), 0);
    const struct {
        const char *name;
        QByteArray stored;     // ReadStoredFile
        bool opensFollowing;   // OpenRegularFile, links followed
    } cases[] = {
        {"real", "content", true},
        {"link", "", true},
        {"fifo", "", false}, // returns at once instead of waiting for a writer
        {"missing", "", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ReadStoredFile(dir.file(c.name)), c.stored);
        const int fd = OpenRegularFile(QFile::encodeName(dir.file(c.name)));
        EXPECT_EQ(fd >= 0, c.opensFollowing);
        if (fd >= 0) {
            char byte = 0;
            EXPECT_EQ(::read(fd, &byte, 1), 1);
            ::close(fd);
        }
    }
}

TEST(PrivateFiles, TighteningTouchesOnlyTheOwnersRegularStoredFiles)
{
    ScratchDir dir;
    dir.write("Parcelwise_Users", "u");
    dir.write("Parcelwise_Prefs", "p");
    dir.write("elsewhere", "e");
    ::chmod(QFile::encodeName(dir.file("Parcelwise_Users")).constData(), 0644);
    ::chmod(QFile::encodeName(dir.file("Parcelwise_Prefs")).constData(), 0600);
    ::chmod(QFile::encodeName(dir.file("elsewhere")).constData(), 0644);
    Link(dir.file("elsewhere"), dir.file("Parcelwise_Queue"));
    const QList<QByteArray> changed = TightenStoredFiles(
        dir.path(), {"Parcelwise_Users", "Parcelwise_Prefs", "Parcelwise_Queue", "Parcelwise_Pins"});
    EXPECT_EQ(changed, QList<QByteArray>{"Parcelwise_Users"});
    EXPECT_EQ(ModeOf(dir.file("Parcelwise_Users")), 0600u);
    EXPECT_EQ(ModeOf(dir.file("elsewhere")), 0644u); // never through the link
}

TEST(PrivateFiles, LinkedFoldersAndLockAreCheckedBeforeTheyAreUsed)
{
    ScratchDir dir;
    QDir().mkpath(dir.file("own"));
    QDir().mkpath(dir.file("open"));
    ::chmod(QFile::encodeName(dir.file("own")).constData(), 0700);
    ::chmod(QFile::encodeName(dir.file("open")).constData(), 0777);
    dir.write("plain", "x");
    Link(dir.file("own"), dir.file("toOwn"));
    Link(dir.file("open"), dir.file("toOpen"));
    Link(dir.file("plain"), dir.file("toFile"));
    const struct {
        const char *name;
        QByteArray problem;
    } cases[] = {
        {"own", ""},
        {"toOwn", ""}, // the downloads on another disk
        {"toOpen", "is a symbolic link to a folder that others may write in"},
        {"toFile", "is a symbolic link to no folder"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(LinkedFolderProblem(dir.file(c.name)), c.problem) << c.name;

    // The program folder: a downloads folder others can redirect, a lock that is a link.
    ScratchDir program;
    Link(dir.file("open"), program.file("Parcelwise_Downloads"));
    SingleInstance first(program.path());
    EXPECT_EQ(first.Acquire(), SingleInstance::Result::Failed);
    EXPECT_EQ(first.FailureText(), "Cannot use the program folder " + QFile::encodeName(program.path()) +
                                       ": Parcelwise_Downloads in it is a symbolic link to a folder that "
                                       "others may write in");
    ASSERT_TRUE(QFile::remove(program.file("Parcelwise_Downloads")));
    Link(dir.file("plain"), program.file(".parcelwise.lock"));
    SingleInstance second(program.path());
    EXPECT_EQ(second.Acquire(), SingleInstance::Result::Failed);
    EXPECT_TRUE(second.FailureText().endsWith(": .parcelwise.lock in it is a symbolic link"))
        << second.FailureText().constData();
    EXPECT_EQ(dir.read("plain"), "x");
}
