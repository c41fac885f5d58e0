// Field splitting, number reading and the whole-file operations every stored file relies on,
// including what a failed write leaves behind.
#include "FileSizeLimit.h"
#include "TestSupport.h"
#include "core/FileOps.h"
#include "core/TextUtil.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>

namespace {

struct FieldCase {
    QByteArray source, delimiter;
    int count;
};

TEST(TextUtil, CountFields)
{
    const FieldCase cases[] = {
        {"a,,b", ",", 3},  {"", ",", 0},         {"abc", "", 0},    {"abc", ",", 1},
        {"a,b,", ",", 3},  {",", ",", 2},        {"aaaa", "aa", 3}, {"aaa", "aa", 2}, // no overlapping matches
        {"aXbxc", "x", 2}, {"a<>b<>c", "<>", 3},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CountFields(c.source, c.delimiter), c.count)
            << c.source.constData() << " / " << c.delimiter.constData();
}

struct NthCase {
    QByteArray source, delimiter;
    int n;
    QByteArray field;
};

TEST(TextUtil, NthField)
{
    const NthCase cases[] = {
        {"a,,b", ",", 1, "a"},          {"a,,b", ",", 2, ""},   {"a,,b", ",", 3, "b"},     {"a,,b", ",", 4, ""},
        {"a,,b", ",", 0, ""},           {"a,,b", ",", -1, ""},  {"", ",", 1, ""},          {"abc", "", 1, ""},
        {"abc", ",", 1, "abc"},         {"a,b,", ",", 3, ""},   {"a<>b<>c", "<>", 2, "b"}, {"a<>b<>c", "<>", 3, "c"},
        {"x\x01y\x01", "\x01", 2, "y"}, {"aXbxc", "x", 2, "c"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NthField(c.source, c.delimiter, c.n), c.field) << c.source.constData() << " field " << c.n;
}

TEST(TextUtil, LeadingNumber)
{
    const struct {
        QByteArray text;
        double value;
    } cases[] = {
        {"  12abc", 12}, {"abc", 0},  {"-3", -3},       {"1e3", 1000}, {"", 0},          {"2.5", 2.5},
        {".5", 0.5},     {"+7", 7},   {"12.5.3", 12.5}, {"1e", 1},     {"1e+", 1},       {"-", 0},
        {"1e-2", 0.01},  {"0x10", 0}, {"3 4", 3},       {"\t 8", 8},   {"-.25x", -0.25},
    };
    for (const auto &c : cases)
        EXPECT_DOUBLE_EQ(LeadingNumber(c.text), c.value) << c.text.constData();
    // Digits beyond any double stay finite, so later rounding and clamping work.
    EXPECT_TRUE(std::isfinite(LeadingNumber(QByteArray(400, '9'))));
    EXPECT_TRUE(std::isfinite(LeadingNumber("-1e999")));
}

TEST(TextUtil, RoundHalfEvenAndLeadingInteger)
{
    const struct {
        double in, out;
    } rounding[] = {{2.5, 2}, {3.5, 4}, {0.5, 0}, {1.5, 2}, {-2.5, -2}, {-3.5, -4}, {2.4999, 2}, {2.5001, 3}};
    for (const auto &c : rounding)
        EXPECT_EQ(RoundHalfEven(c.in), c.out) << c.in;

    EXPECT_EQ(LeadingInteger("4444.5"), 4444);
    EXPECT_EQ(LeadingInteger("1023.5"), 1024);
    EXPECT_EQ(LeadingInteger("99999999999"), 99999999999LL);
    EXPECT_EQ(LeadingInteger("1e300", 0, 100), 100);
    EXPECT_EQ(LeadingInteger("-1e300", -5, 100), -5);
    EXPECT_EQ(LeadingInteger(QByteArray(400, '9')), INT64_MAX / 2);
}

TEST(TextUtil, FileNameOfTakesTheLastPartAfterEitherSlash)
{
    const struct {
        QByteArray path, name;
    } cases[] = {
        {"C:\\dir\\a.txt", "a.txt"},
        {"/home/x/b.bin", "b.bin"},
        {"mixed/dir\\c", "c"},
        {"mixed\\dir/d", "d"},
        {"plain", "plain"},
        {"dir/", ""},
        {"", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(FileNameOf(c.path), c.name) << c.path.constData();
        EXPECT_EQ(FileNameOf(QString::fromLatin1(c.path)), QString::fromLatin1(c.name)) << c.path.constData();
    }
}

QStringList Listing(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

TEST(FileOps, WriteWholeFileWritesExactBytesAndLeavesNoScratchFiles)
{
    ScratchDir dir;
    const QByteArray every = PatternBytes(70000, 3) + QByteArray("\0\r\n\x01\x02", 5);
    dir.write("f", QByteArray(200000, 'x')); // longer than the new content: nothing of it may remain
    EXPECT_EQ(WriteWholeFile(dir.file("f"), every), WriteOk);
    EXPECT_EQ(dir.read("f"), every);
    EXPECT_EQ(Listing(dir.path()), QStringList{"f"});

    // The path is trimmed of blanks.
    EXPECT_EQ(WriteWholeFile("  " + dir.file("g") + " ", "gg"), WriteOk);
    EXPECT_EQ(dir.read("g"), "gg");
    EXPECT_EQ(Listing(dir.path()), (QStringList{"f", "g"}));
}

TEST(FileOps, WriteWholeFileResultCodes)
{
    ScratchDir dir;
    const QStringList cwdBefore = Listing(QDir::currentPath());
    EXPECT_EQ(WriteWholeFile("", "x"), WriteEmptyPath);
    EXPECT_EQ(WriteWholeFile("   ", "x"), WriteEmptyPath);
    EXPECT_EQ(Listing(QDir::currentPath()), cwdBefore);

    // A folder where the file should be: refused, the folder and its content stay.
    QDir(dir.path()).mkdir("folder");
    dir.write("folder/inner", "keep");
    EXPECT_EQ(WriteWholeFile(dir.file("folder"), "x"), WriteDeleteFailed);
    EXPECT_TRUE(FolderExists(dir.file("folder")));
    EXPECT_EQ(dir.read("folder/inner"), "keep");

    // A folder that does not exist: cannot be opened, nothing is created.
    EXPECT_EQ(WriteWholeFile(dir.file("missing/f"), "x"), WriteOpenFailed);
    EXPECT_FALSE(FolderExists(dir.file("missing")));
    EXPECT_EQ(Listing(dir.path()), QStringList{"folder"});
}

TEST(FileOps, FailedWriteKeepsTheOldFile)
{
    // A small text fails only when the write buffer is flushed, a large one already while writing.
    for (const qint64 size : {100, 100000}) {
        ScratchDir dir;
        dir.write("stored", "old content\r");
        int code = WriteOk;
        {
            FileSizeLimit full(16);
            ASSERT_TRUE(full.active());
            code = WriteWholeFile(dir.file("stored"), PatternBytes(size));
        }
        EXPECT_TRUE(code == WriteWriteFailed || code == WriteCloseFailed) << size << ": " << code;
        EXPECT_EQ(dir.read("stored"), "old content\r") << size;
        EXPECT_EQ(Listing(dir.path()), QStringList{"stored"}) << size; // the scratch file is gone
    }
}

TEST(FileOps, StoreFileDeletesOnEmptyContent)
{
    ScratchDir dir;
    EXPECT_EQ(StoreFile(dir.file("s"), "abc"), WriteOk);
    EXPECT_EQ(dir.read("s"), "abc");
    EXPECT_EQ(StoreFile(dir.file("s"), ""), WriteOk);
    EXPECT_FALSE(FileExists(dir.file("s")));
    EXPECT_EQ(StoreFile(dir.file("s"), ""), WriteOk); // already gone: still fine, nothing created
    EXPECT_EQ(Listing(dir.path()), QStringList{});
    EXPECT_EQ(StoreFile("  ", ""), WriteEmptyPath);
}

TEST(FileOps, ReadExistsLengthDelete)
{
    ScratchDir dir;
    const QByteArray bytes("a\0b\r\nc\x01", 7);
    dir.write("r", bytes);
    QDir(dir.path()).mkdir("sub");

    EXPECT_EQ(ReadWholeFile(dir.file("r")), bytes);
    EXPECT_EQ(ReadWholeFile(" " + dir.file("r") + "  "), bytes);
    EXPECT_TRUE(ReadWholeFile(dir.file("none")).isEmpty());
    EXPECT_TRUE(ReadWholeFile("").isEmpty());
    EXPECT_TRUE(ReadWholeFile(dir.file("sub")).isEmpty());

    EXPECT_TRUE(FileExists(dir.file("r")));
    EXPECT_FALSE(FileExists(dir.file("sub")));
    EXPECT_FALSE(FileExists(""));
    EXPECT_TRUE(FolderExists(dir.file("sub")));
    EXPECT_FALSE(FolderExists(dir.file("r")));

    EXPECT_EQ(FileLength(dir.file("r")), 7);
    EXPECT_EQ(FileLength(dir.file("none")), 0);
    EXPECT_EQ(FileLength(dir.file("sub")), 0);

    DeleteFile(dir.file("none")); // errors are ignored
    DeleteFile(dir.file("r"));
    EXPECT_FALSE(FileExists(dir.file("r")));
}

TEST(FileOps, FileLengthIsSixtyFourBit)
{
    ScratchDir dir;
    const qint64 size = 5LL * 1024 * 1024 * 1024 + 7; // above both 2 GiB and 4 GiB
    {
        QFile f(dir.file("big"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        if (!f.resize(size)) // sparse: takes no real space where the file system allows it
            GTEST_SKIP() << "file system refuses a sparse 5 GiB file";
    }
    EXPECT_EQ(FileLength(dir.file("big")), size);
}

TEST(TextUtil, OneReadingForDiskAndScreen)
{
    const struct {
        QByteArray bytes;
        QString text;
        bool control;
    } cases[] = {
        {"plain.txt", QStringLiteral("plain.txt"), false},
        {"caf\xC3\xA9", QStringLiteral("caf\u00E9"), false},                  // valid UTF-8
        {"caf\xE9", QStringLiteral("caf\u00E9"), false},                       // not UTF-8: Windows-1252
        {"it\x92s \x93q\x94 \x96\x97\x80", QStringLiteral("it\u2019s \u201Cq\u201D \u2013\u2014\u20AC"), false},
        {"a\x81", QStringLiteral("a\u0081"), true},                            // undefined in Windows-1252
        {"\x8D\x8F\x90\x9D", QStringLiteral("\u008D\u008F\u0090\u009D"), true},
        {"\xC2\x85", QStringLiteral("\u0085"), true},                         // U+0085 as UTF-8
        {"a\rb", QStringLiteral("a\rb"), true},
        {"\x1B[2J", QStringLiteral("\u001B[2J"), true},
        {"del\x7F", QStringLiteral("del\u007F"), true},
        {QByteArray("nul\0", 4), QStringLiteral("nul") + QChar(0), true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(TextFromBytes(c.bytes), c.text) << c.bytes.toHex().constData();
        EXPECT_EQ(HasControlChars(c.bytes), c.control) << c.bytes.toHex().constData();
    }
}

TEST(TextUtil, ControlsAreEscapedOrBlankedAndEveryOtherByteKept)
{
    const struct {
        QByteArray bytes, escaped, blanked;
    } cases[] = {
        {"name\r\nFORGED", "name\\x0D\\x0AFORGED", "name  FORGED"},
        {"\x1B]0;x\x07", "\\x1B]0;x\\x07", " ]0;x "},
        {"\t\x7F", "\\x09\\x7F", "  "},
        {"caf\xC3\xA9 \xC2\x9B", "caf\xC3\xA9 \\x9B", "caf\xC3\xA9  "}, // UTF-8: U+009B escaped, the rest kept
        {"it\x92s \x81", "it\x92s \\x81", "it\x92s  "},                 // Windows-1252: the undefined byte escaped
        {"\x9B", "\x9B", "\x9B"},                                        // Windows-1252's single right quote
        {"", "", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(EscapeControls(c.bytes), c.escaped) << c.bytes.toHex().constData();
        EXPECT_EQ(BlankControls(c.bytes), c.blanked) << c.bytes.toHex().constData();
    }
}

} // namespace
