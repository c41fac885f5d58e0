// The whole road of one file, driven through the windows: two installations in this process,
// the addressee entered in the users window, the file put in the queue by the loader, and the
// file delivered over loopback byte for byte.
#include "UiFixture.h"
#include "core/Users.h"
#include "ui/ParcelWin.h"
#include "ui/QLoadWin.h"
#include "ui/UserWin.h"
#include "ui/Widgets.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QRegularExpression>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeView>

namespace {

// Enters one address-book entry through the users window, as a user would.
void AddUserThroughWindow(Engine &engine, const QList<QString> &fields)
{
    UserWin win(engine);
    win.show();
    const char *edits[] = {"Editfield5", "Editfield6", "Editfield1", "Editfield2", "Editfield3", "Editfield4"};
    for (int i = 0; i < 6; ++i)
        TypeInto(win.findChild<QLineEdit *>(QLatin1String(edits[i])), fields.value(i));
    ClickOn(win.findChild<QPushButton *>("Command1"));
    ClickOn(win.findChild<QPushButton *>("Command4"));
}

TEST(WindowTransfer, FileLoadedThroughTheWindowsArrivesIntact)
{
    Installation sender;
    Installation receiver;
    ParcelWin senderWin(*sender.engine);
    ParcelWin receiverWin(*receiver.engine);
    senderWin.show();
    receiverWin.show();

    // The receiver hands out "alice"/"s3cret"; the sender knows the receiver as "rita".
    AddUserThroughWindow(*receiver.engine, {"alice", "s3cret", "", "", "127.0.0.1", "4444"});
    AddUserThroughWindow(*sender.engine,
                         {"rita", "unused", "alice", "s3cret", "127.0.0.1", QString::number(receiver.port)});
    ASSERT_EQ(sender.engine->Users.size(), 1);
    ASSERT_TRUE(sender.prompt.messages.isEmpty());

    const QByteArray content = PatternBytes(8 * 1024 * 1024 + 17, 7);
    sender.dir.write("parcel.bin", content);
    {
        QLoadWin loader(*sender.engine);
        loader.show();
        loader.AddPendingFile(sender.file("parcel.bin").toLocal8Bit());
        TypeInto(loader.findChild<QPlainTextEdit *>("Editfield1"), "here it comes");
        ClickOn(loader.findChild<QPushButton *>("Command1"));
    }
    ASSERT_EQ(sender.engine->Queue().rowCount(), 1);
    EXPECT_EQ(sender.engine->Queue().item(0).status(), "Q");
    EXPECT_EQ(senderWin.queueView()->model()->index(0, 12).data().toString(), "Queued");

    receiver.engine->StartChannels();
    receiver.engine->QueueTick();
    sender.engine->StartChannels();
    // The sender's status frame shows send channel 1. Its progress line follows every change of
    // the percent; the bar and the row's percent are repainted at a pace (here at every turn of
    // the event loop, so that they move several times on the way of a file that loopback
    // carries in a blink). Whenever the bar moves it shows the percent that the line and the
    // row show at that moment, and in between it never shows a percent ahead of the line.
    senderWin.SetProgressRepaintInterval(0);
    auto *bar = senderWin.findChild<QProgressBar *>("ChannelProgress");
    auto *progressLine = senderWin.findChild<QLabel *>("Statictext6");
    QList<int> percents;
    QStringList rowTexts;
    QStringList disagreements;
    int lineChanges = 0;
    bool askedToQuit = false;
    QObject::connect(sender.engine.get(), &Engine::ProgressChanged, &senderWin, [&](char direction, int) {
        if (direction != 'O' || !bar->isEnabled())
            return;
        ++lineChanges;
        const QString line = static_cast<ElidedLabel *>(progressLine)->fullText();
        const int linePercent = line.section(u'%', 0, 0).toInt();
        if (bar->value() > linePercent)
            disagreements << QStringLiteral("bar %1 ahead of line \"%2\"").arg(bar->value()).arg(line);
    });
    QObject::connect(bar, &QProgressBar::valueChanged, &senderWin, [&](int value) {
        if (!bar->isEnabled())
            return;
        percents << value;
        const QString line = static_cast<ElidedLabel *>(progressLine)->fullText();
        if (!line.startsWith(QStringLiteral("%1% done sending").arg(value)))
            disagreements << QStringLiteral("bar %1, line \"%2\"").arg(value).arg(line);
        if (sender.engine->Queue().item(0).status() == "B") {
            rowTexts << senderWin.queueView()->model()->index(0, 12).data().toString();
            if (rowTexts.last() != QStringLiteral("Busy %1%").arg(value))
                disagreements << QStringLiteral("bar %1, row \"%2\"").arg(value).arg(rowTexts.last());
        }
        // Quitting from the window while the file goes asks first; declined, nothing stops.
        if (!askedToQuit) {
            askedToQuit = true;
            sender.prompt.answer = false;
            senderWin.QuitFromWindow();
        }
    });
    receiver.engine->StartChannels();
    receiver.engine->QueueTick();
    sender.engine->StartChannels();
    ASSERT_TRUE(WaitFor(
        [&] {
            receiver.engine->QueueTick();
            sender.engine->QueueTick();
            return sender.engine->Queue().item(0).status() == "S";
        },
        30000))
        << sender.engine->Log().ScreenText().toStdString();

    QFile received(QDir(receiver.engine->Paths().DownloadsFolder).filePath("parcel.bin"));
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), content);
    EXPECT_EQ(senderWin.queueView()->model()->index(0, 12).data().toString(), "Sent");
    ASSERT_FALSE(percents.isEmpty());
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_LT(percents.front(), 100);
    EXPECT_LE(percents.size(), lineChanges);
    EXPECT_TRUE(disagreements.isEmpty()) << disagreements.join('\n').toStdString();
    ASSERT_TRUE(askedToQuit);
    ASSERT_EQ(sender.prompt.questions.size(), 1);
    EXPECT_TRUE(sender.prompt.questions[0].startsWith("1 transfer is running.")) << sender.prompt.questions[0].toStdString();
    EXPECT_FALSE(sender.engine->ShuttingDown);
    EXPECT_FALSE(bar->isEnabled());
    ASSERT_FALSE(rowTexts.isEmpty());
    for (const QString &text : rowTexts)
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^Busy \\d{1,3}%$")).match(text).hasMatch()) << text.toStdString();
    EXPECT_TRUE(receiverWin.LastNotice().contains("parcel.bin"));
    EXPECT_TRUE(receiverWin.LastNotice().contains("alice"));
    EXPECT_TRUE(receiver.engine->Log().ReceivedMessages().contains("here it comes"));
    // The live logs on both sides show what happened.
    EXPECT_FALSE(senderWin.findChild<QPlainTextEdit *>("Editfield1")->toPlainText().isEmpty());
    EXPECT_FALSE(receiverWin.findChild<QPlainTextEdit *>("Editfield1")->toPlainText().isEmpty());
    SaveScreenshot(&senderWin, "sender_after_transfer");
    SaveScreenshot(&receiverWin, "receiver_after_transfer");
}

} // namespace
