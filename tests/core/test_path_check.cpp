// The one check of a path to be queued, and the path as the kernel would open it.
#include "TestSupport.h"
#include "core/PathCheck.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(PathCheck, EachFindingWithItsWords)
{
    ScratchDir dir;
    const QByteArray root = QFile::encodeName(dir.path()) + "/";
    dir.write("good.bin", "data");
    dir.write("empty.bin", "");
    dir.write("odd\x01name", "data");
    dir.write("esc\x1b[2Jname", "data");
    dir.write("trailing ", "data");
    dir.write(" leading", "data");
    QDir().mkpath(dir.file("folder"));
    ASSERT_EQ(::mkfifo((root + "fifo").constData(), 0600), 0);
    const struct {
        QByteArray name;
        PathFinding finding;
        QByteArray says;
    } cases[] = {
        {"good.bin", PathFinding::None, ""},
        {"odd\x01name", PathFinding::RecordCodes, "odd\\x01name: the path holds a character with code 1 or 2"},
        {"esc\x1b[2Jname", PathFinding::ControlCharacters, "esc\\x1B[2Jname: the name holds control characters"},
        {"trailing ", PathFinding::EdgeBlanks, "trailing : the name begins or ends with a blank"},
        {" leading", PathFinding::EdgeBlanks, "/ leading: the name begins or ends with a blank"},
        {"missing", PathFinding::Missing, "missing: no such file"},
        {"folder", PathFinding::Folder, "folder: is a folder; only files can be sent"},
        {"fifo", PathFinding::NotRegular, "fifo: is not a regular file"}, // and no wait for a writer
        {"empty.bin", PathFinding::Empty, "empty.bin: is empty; there is nothing to send"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name.constData());
        const PathCheck check = CheckQueuePath(root + c.name);
        EXPECT_EQ(check.finding, c.finding);
        EXPECT_TRUE(check.text.contains(c.says)) << check.text.constData();
        if (c.finding != PathFinding::None) {
            EXPECT_FALSE(check.text.contains('\x1b'));
        }
    }
}

TEST(PathCheck, FolderPartResolvedAsTheKernelDoesNameKeptAsGiven)
{
    ScratchDir dir;
    const QByteArray root = QFile::encodeName(QDir(dir.path()).canonicalPath());
    QDir().mkpath(dir.file("a/b"));
    dir.write("a/f", "the file in a");
    dir.write("f", "a decoy beside the link");
    ASSERT_EQ(::symlink((root + "/a/b").constData(), (root + "/L").constData()), 0);
    ASSERT_EQ(::symlink((root + "/a/f").constData(), (root + "/a/b/named").constData()), 0);
    const struct {
        QByteArray path, cwd, expected;
    } cases[] = {
        {"L/../f", root, root + "/a/f"},        // ".." of a link is its target's parent
        {"./L/named", root, root + "/a/b/named"}, // the last component stays as given
        {root + "/a/./b/../f", "/elsewhere", root + "/a/f"},
        {"missing/x", root, root + "/missing/x"}, // a missing folder stays as given
        {"caf\xe9", root, root + "/caf\xe9"},   // bytes stay as given
    };
    for (const auto &c : cases)
        EXPECT_EQ(ResolveQueuePath(c.path, c.cwd), c.expected) << c.path.constData();
}
