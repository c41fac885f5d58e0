// Where a received file is stored and the refusals that come before it is opened.
#include "transfer/Downloads.h"

#include <gtest/gtest.h>

#include <QDir>

namespace {

TEST(Downloads, TheJoinedPathMustStayInTheDownloadsFolder)
{
    const QString downloads = QStringLiteral("/srv/pw/Parcelwise_Downloads");
    struct Case {
        const char *name;
        bool contained;
    };
    const Case cases[] = {
        {"a.txt", true},         {"..a.txt", true},       {"a..b", true},
        {"../a.txt", false},     {"sub/a.txt", false},    {"/etc/passwd", false},
        {"..", false},           {"./a.txt", true}, // the same folder after all
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const DownloadTarget t = DownloadTargetFor(downloads, QString::fromUtf8(c.name));
        EXPECT_EQ(t.contained, c.contained);
        if (c.contained) {
            EXPECT_EQ(QDir::cleanPath(t.path), downloads + "/" + QDir::cleanPath(QString::fromUtf8(c.name)));
        }
    }
}

TEST(Downloads, RefusalsComeInTheirOrder)
{
    struct Case {
        const char *label;
        bool contained, beingWritten;
        int64_t existing, announced;
        const char *code;
    };
    const Case cases[] = {
        {"new file", true, false, 0, 100, ""},
        {"part already here", true, false, 99, 100, ""},
        {"whole file already here", true, false, 100, 100, "406"},
        {"larger file here", true, false, 101, 100, "406"},
        {"another channel writes it", true, true, 0, 100, "405"},
        {"written and whole", true, true, 100, 100, "405"},
        {"outside the folder", false, true, 100, 100, "403"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(DownloadRefusal(c.contained, c.beingWritten, c.existing, c.announced), QByteArray(c.code));
    }
}

} // namespace
