// The transfer log on screen and in the day's file, the file names built from the date, and
// the messages collected during a run.
#include "TestSupport.h"
#include "core/Clock.h"
#include "core/TransferLog.h"

#include <gtest/gtest.h>

#include <QDir>

#include <utility>
#include <vector>

namespace {

const QDateTime Start(QDate(2026, 12, 10), QTime(9, 5, 42));

// What LineAdded reported: the line and whether the screen was emptied first.
struct LineSpy {
    explicit LineSpy(TransferLog &log)
    {
        QObject::connect(&log, &TransferLog::LineAdded, &log, [this](const QByteArray &line, bool cleared) {
            seen.push_back({line, cleared});
        });
    }
    std::vector<std::pair<QByteArray, bool>> seen;
};

QByteArray Stamp(const QDateTime &t)
{
    return ShortDate(t) + ' ' + t.time().toString("HH:mm").toLatin1() + ' ';
}

TEST(TransferLog, LineIsDateTimeAndText)
{
    FakeClock clock(Start);
    TransferLog log(clock);
    ASSERT_FALSE(ShortDate(Start).isEmpty());
    EXPECT_EQ(ShortTime(Start), "09:05");
    EXPECT_EQ(ShortTime(QDateTime(QDate(2026, 1, 2), QTime(17, 45, 59))), "17:45"); // 24 hours, no seconds

    LineSpy added(log);
    log.Showit("first");
    clock.advanceSeconds(17); // same minute: same stamp
    log.Showit("second");
    clock.advanceSeconds(60);
    log.Showit("");
    const QByteArray expected = ShortDate(Start) + " 09:05 first\r\n" + ShortDate(Start) + " 09:05 second\r\n" +
                                ShortDate(Start) + " 09:06 \r\n";
    EXPECT_EQ(log.ScreenText(), expected);
    ASSERT_EQ(added.seen.size(), 3u);
    EXPECT_EQ(added.seen[0].first, ShortDate(Start) + " 09:05 first");
    EXPECT_FALSE(added.seen[0].second);
}

// Fills a fresh log with one line so that the screen holds exactly `size` characters.
void FillTo(TransferLog &log, const QDateTime &t, qsizetype size)
{
    log.Showit(QByteArray(size - Stamp(t).size() - 2, 'x'));
    ASSERT_EQ(log.ScreenText().size(), size);
}

TEST(TransferLog, ScreenIsEmptiedOnlyAboveTheLimit)
{
    FakeClock clock(Start);
    const QByteArray next = Stamp(Start) + "next\r\n";

    TransferLog atLimit(clock);
    FillTo(atLimit, Start, TransferLog::ScreenLimit);
    LineSpy keptSpy(atLimit);
    atLimit.Showit("next");
    EXPECT_EQ(atLimit.ScreenText().size(), TransferLog::ScreenLimit + next.size());
    EXPECT_TRUE(atLimit.ScreenText().endsWith(next));
    ASSERT_EQ(keptSpy.seen.size(), 1u);
    EXPECT_FALSE(keptSpy.seen[0].second);

    TransferLog overLimit(clock);
    FillTo(overLimit, Start, TransferLog::ScreenLimit + 1);
    LineSpy clearedSpy(overLimit);
    overLimit.Showit("next");
    EXPECT_EQ(overLimit.ScreenText(), next);
    ASSERT_EQ(clearedSpy.seen.size(), 1u);
    EXPECT_TRUE(clearedSpy.seen[0].second);
}

TEST(TransferLog, FileCarriesTheScreenLinesAndKeepsOlderContent)
{
    ScratchDir dir;
    FakeClock clock(Start);
    const QString name = TransferLog::LogFileName(Start);
    dir.write(name, "earlier run\r\n");

    TransferLog log(clock);
    log.Showit("before the file is open"); // screen only
    const QByteArray screenBefore = log.ScreenText();
    ASSERT_TRUE(log.OpenLogFile(dir.path()));
    EXPECT_TRUE(log.LogFileOpen());
    log.Showit("one");
    log.Showit(QByteArray("bytes \xe9\xff\x01", 9));
    // A run past midnight keeps writing to the file of the day it started.
    clock.advanceSeconds(86400);
    log.Showit("next day");
    EXPECT_EQ(dir.read(name), "earlier run\r\n" + log.ScreenText().mid(screenBefore.size()));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{name});

    log.CloseFiles();
    EXPECT_FALSE(log.LogFileOpen());
    const QByteArray closed = dir.read(name);
    log.Showit("after closing");
    EXPECT_EQ(dir.read(name), closed);
    EXPECT_TRUE(log.ScreenText().endsWith("after closing\r\n"));

    // Beyond the screen limit the file still gets every line.
    ScratchDir dir2;
    TransferLog big(clock);
    ASSERT_TRUE(big.OpenLogFile(dir2.path()));
    QByteArray all;
    for (int i = 0; i < 40; ++i) {
        big.Showit(QByteArray(500, char('a' + i % 26)));
        all += Stamp(clock.now()) + QByteArray(500, char('a' + i % 26)) + "\r\n";
    }
    EXPECT_LT(big.ScreenText().size(), all.size());
    EXPECT_EQ(dir2.read(TransferLog::LogFileName(clock.now())), all);
}

TEST(TransferLog, UnopenableFileLeavesScreenOnly)
{
    ScratchDir dir;
    FakeClock clock(Start);
    TransferLog log(clock);
    EXPECT_FALSE(log.OpenLogFile(dir.file("no such folder")));
    EXPECT_FALSE(log.LogFileOpen());
    log.Showit("still shown");
    EXPECT_EQ(log.ScreenText(), Stamp(Start) + "still shown\r\n");
    log.WriteReceivedMessages(); // no message file: nothing happens
}

TEST(TransferLog, FileNamesReplaceSlashesAndBlanks)
{
    for (const QDateTime &t :
         {Start, QDateTime(QDate(1999, 1, 31), QTime(0, 0)), QDateTime(QDate(2031, 7, 4), QTime(23, 59))}) {
        QByteArray part = ShortDate(t);
        part.replace('/', '_').replace('\\', '_').replace(' ', '_');
        EXPECT_EQ(TransferLog::LogFileName(t), "Parcelwise_Log_" + QString::fromLocal8Bit(part));
        EXPECT_EQ(TransferLog::MessageFileName(t), "Parcelwise_Msg_" + QString::fromLocal8Bit(part));
        for (const QChar bad : {QChar('/'), QChar('\\'), QChar(' ')})
            EXPECT_FALSE(TransferLog::LogFileName(t).contains(bad)) << TransferLog::LogFileName(t).toStdString();
        // The date's numbers are in the name.
        EXPECT_TRUE(TransferLog::LogFileName(t).contains(QString::number(t.date().day())));
    }
    EXPECT_NE(TransferLog::LogFileName(Start), TransferLog::LogFileName(Start.addDays(1)));
}

TEST(TransferLog, MessagesAndTheMessageFile)
{
    ScratchDir dir;
    FakeClock clock(Start);
    const QString name = TransferLog::MessageFileName(Start);

    // No message received: only one line end is appended.
    {
        dir.write(name, "old");
        TransferLog log(clock);
        ASSERT_TRUE(log.OpenMessageFile(dir.path()));
        EXPECT_TRUE(log.MessageFileOpen());
        EXPECT_TRUE(log.ReceivedMessages().isEmpty());
        log.WriteReceivedMessages();
        log.CloseFiles();
        EXPECT_EQ(dir.read(name), "old\r\n");
    }

    // Each message reaches the file on arrival, its bytes as received; the shutdown then adds
    // only its line end.
    TransferLog log(clock);
    ASSERT_TRUE(log.OpenMessageFile(dir.path()));
    const QDateTime at(QDate(2026, 12, 10), QTime(17, 45, 12));
    log.AddReceivedMessage(at, "bob", "hello there");
    EXPECT_EQ(dir.read(name), "old\r\n\r\n" + ShortDate(at) + " 17:45 bob\r\nhello there\r\n");
    log.AddReceivedMessage(at.addSecs(3600), "ann", "line one\r\nline \x1B[2Jtwo");
    const QByteArray expected = "\r\n" + ShortDate(at) + " 17:45 bob\r\nhello there\r\n" + "\r\n" + ShortDate(at) +
                                " 18:45 ann\r\nline one\r\nline \x1B[2Jtwo\r\n";
    EXPECT_EQ(log.ReceivedMessages(), expected);
    EXPECT_EQ(dir.read(name), "old\r\n" + expected);
    log.WriteReceivedMessages();
    log.CloseFiles();
    EXPECT_EQ(dir.read(name), "old\r\n" + expected + "\r\n");

    // The viewer's entry names the file the message came with; the file keeps its format.
    TransferLog withFile(clock);
    ASSERT_TRUE(withFile.OpenMessageFile(dir.path()));
    withFile.AddReceivedMessage(at, "cy", "see attached", "report.pdf");
    EXPECT_TRUE(withFile.ReceivedMessages().endsWith(" 17:45 cy\r\nsee attached\r\n(with report.pdf)\r\n"));
    EXPECT_TRUE(dir.read(name).endsWith(" 17:45 cy\r\nsee attached\r\n"));
}

TEST(TransferLog, TheViewerKeepsTheLatestMessagesTheFileAllOfThem)
{
    ScratchDir dir;
    FakeClock clock(Start);
    TransferLog log(clock);
    ASSERT_TRUE(log.OpenMessageFile(dir.path()));
    const size_t total = TransferLog::KeptMessages + 5;
    for (size_t k = 0; k < total; ++k)
        log.AddReceivedMessage(Start, "bob", "message " + QByteArray::number(static_cast<qulonglong>(k)) + "!");
    const QByteArray kept = log.ReceivedMessages();
    EXPECT_EQ(kept.count("\r\nmessage "), static_cast<qsizetype>(TransferLog::KeptMessages));
    EXPECT_FALSE(kept.contains("\r\nmessage 4!"));
    EXPECT_TRUE(kept.startsWith("\r\n" + Stamp(Start) + "bob\r\nmessage 5!\r\n"));
    EXPECT_TRUE(kept.endsWith("message " + QByteArray::number(static_cast<qulonglong>(total - 1)) + "!\r\n"));
    EXPECT_EQ(dir.read(TransferLog::MessageFileName(Start)).count("\r\nmessage "), static_cast<qsizetype>(total));
}

TEST(TransferLog, ControlCharactersAreWrittenEscaped)
{
    ScratchDir dir;
    FakeClock clock(Start);
    TransferLog log(clock);
    ASSERT_TRUE(log.OpenLogFile(dir.path()));
    // A text from a peer cannot add a line of its own nor drive the terminal showing the log.
    log.Showit("x.bin\r\n" + Stamp(Start) + "FORGED successfully sent \x1B]0;\x07\x7F \xC2\x9B caf\xC3\xA9");
    const QByteArray line = Stamp(Start) + "x.bin\\x0D\\x0A" + Stamp(Start) +
                            "FORGED successfully sent \\x1B]0;\\x07\\x7F \\x9B caf\xC3\xA9";
    EXPECT_EQ(log.ScreenText(), line + "\r\n");
    EXPECT_EQ(dir.read(TransferLog::LogFileName(Start)), line + "\r\n");
}

} // namespace
