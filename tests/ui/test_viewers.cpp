// The log, message and help viewers and the about box, driven as a user would: shown, typed
// into, resized and closed.
#include "ui/DisplayText.h"
#include "ui/Viewers.h"

#include "UiFixture.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextList>
#include <QTimer>
#include <QWindow>

namespace {

// Keys as the window system would deliver them: through the application, to the widget, so that
// keys a widget does not use travel on to its parents.
void TypeKeys(QWidget *w, const QString &text)
{
    for (const QChar c : text) {
        const int key = c.isLetter()  ? Qt::Key_A + (c.toUpper().unicode() - 'A')
                        : c.isDigit() ? Qt::Key_0 + (c.unicode() - '0')
                                      : Qt::Key_unknown;
        QKeyEvent press(QEvent::KeyPress, key, c.isUpper() ? Qt::ShiftModifier : Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, key, c.isUpper() ? Qt::ShiftModifier : Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &release);
    }
}

bool ShowAndWait(QWidget &w)
{
    w.show();
    return WaitFor([&] { return w.windowHandle() && w.windowHandle()->isExposed(); }, 5000);
}

// Runs the window modally and presses its Close button from inside the modal loop.
int ExecAndClose(QDialog &win, QPushButton *button)
{
    QTimer::singleShot(0, button, [button] { ClickOn(button); });
    return win.exec();
}

} // namespace

TEST(Viewers, DisplayTextDecodesForTheScreenOnly)
{
    EXPECT_EQ(DisplayText("caf\xc3\xa9"), QString::fromUtf8("café"));    // valid UTF-8
    EXPECT_EQ(DisplayText("caf\xe9 \x80"), QString::fromUtf8("café €")); // single-byte
    EXPECT_EQ(DisplayText("a\r\nb\rc\nd"), "a\nb\nc\nd");
    EXPECT_EQ(DisplayText(""), "");
    // Windows-1252 punctuation reads as such; control characters are shown escaped, never raw,
    // the five bytes Windows-1252 leaves undefined among them.
    EXPECT_EQ(DisplayText("it\x92s \x93x\x94"), QString::fromUtf8("it’s “x”"));
    EXPECT_EQ(DisplayText("a\x1B[2J\tb\x7F \x81"), "a\\x1B[2J\\x09b\\x7F \\x81");
    EXPECT_EQ(DisplayText("x\xC2\x9B"), "x\\x9B");
}

TEST(Viewers, LogViewerShowsACopyAndCloses)
{
    QByteArray log = "12/5/2026 17:45 Listening on slot  1 Port  4444\r\n12/5/2026 17:46 Closing Queue\r\n";
    NewLogWin win(log);
    log.clear(); // the window holds its own copy
    EXPECT_EQ(win.windowTitle(), "Parcelwise Current Log");
    EXPECT_TRUE(win.isModal());
    EXPECT_TRUE(win.textArea()->isReadOnly());
    EXPECT_EQ(win.textArea()->toPlainText(),
              "12/5/2026 17:45 Listening on slot  1 Port  4444\n12/5/2026 17:46 Closing Queue\n");
    EXPECT_EQ(win.closeButton()->text(), "&Close");
    EXPECT_EQ(ExecAndClose(win, win.closeButton()), QDialog::Accepted);
    EXPECT_FALSE(win.isVisible());
}

TEST(Viewers, MessageViewerShowsMessages)
{
    NewMessageWin win("\r\n12/5/2026 17:45 bob\r\nVoil\xe0 the files\r\n");
    EXPECT_EQ(win.windowTitle(), "Parcelwise New Messages");
    EXPECT_EQ(win.textArea()->toPlainText(), QString::fromUtf8("\n12/5/2026 17:45 bob\nVoilà the files\n"));
    // A message keeps its CR LF line breaks; every other control character, a lone CR or LF
    // included, is shown escaped.
    EXPECT_EQ(MessageText("one\r\ntwo\rthree\nfour\x1B[2J\x07"), "one\ntwo\\x0Dthree\\x0Afour\\x1B[2J\\x07");
    NewMessageWin hostile("\r\n12/5/2026 17:45 bob\r\nhi\x1B]0;owned\x07\r\n");
    EXPECT_EQ(hostile.textArea()->toPlainText(), "\n12/5/2026 17:45 bob\nhi\\x1B]0;owned\\x07\n");
    ASSERT_TRUE(ShowAndWait(win));
    ClickOn(win.closeButton());
    EXPECT_FALSE(win.isVisible());
    // Without messages the viewer says so, and its text stays empty.
    NewMessageWin empty("");
    EXPECT_EQ(empty.textArea()->placeholderText(), "No messages yet");
    EXPECT_TRUE(empty.textArea()->toPlainText().isEmpty());
}

TEST(Viewers, LayoutRuleInTwips)
{
    // At 96 dots per inch 15 twips make a pixel: margins 29 and 83, button at -94 and -60.
    const ViewerLayout at96 = ComputeViewerLayout(QSize(600, 400), 96, 96);
    EXPECT_EQ(at96.textArea, QRect(0, 0, 571, 317));
    EXPECT_EQ(at96.closeTopLeft, QPoint(506, 340));
    // At 144 dots per inch the margins grow by half.
    const ViewerLayout at144 = ComputeViewerLayout(QSize(600, 400), 144, 144);
    EXPECT_EQ(at144.textArea, QRect(0, 0, 600 - 44, 400 - 125));
    EXPECT_EQ(at144.closeTopLeft, QPoint(600 - 141, 400 - 90));
    // Smaller than the margins: nothing negative.
    const ViewerLayout tiny = ComputeViewerLayout(QSize(20, 10), 96, 96);
    EXPECT_EQ(tiny.textArea, QRect(0, 0, 0, 0));
    EXPECT_EQ(tiny.closeTopLeft, QPoint(0, 0));
}

TEST(Viewers, LayoutFollowsEveryResize)
{
    NewLogWin win("text");
    ASSERT_TRUE(ShowAndWait(win));
    const qreal dx = win.logicalDpiX();
    const qreal dy = win.logicalDpiY();
    for (const QSize size : {QSize(700, 500), QSize(300, 200), QSize(900, 650)}) {
        SCOPED_TRACE(QString("%1x%2").arg(size.width()).arg(size.height()).toStdString());
        win.resize(size);
        QApplication::processEvents();
        ASSERT_EQ(win.size(), size);
        const int w = std::max(0, size.width() - TwipsToPixels(435, dx));
        const int h = std::max(0, size.height() - TwipsToPixels(1245, dy));
        EXPECT_EQ(win.textArea()->geometry(), QRect(0, 0, w, h));
        EXPECT_EQ(win.closeButton()->pos(), QPoint(std::max(0, size.width() - TwipsToPixels(1410, dx)),
                                                   std::max(0, size.height() - TwipsToPixels(900, dy))));
    }
    // Made smaller than its margins, the window stops at a size that keeps some text and the
    // whole button in view.
    win.resize(60, 40);
    QApplication::processEvents();
    EXPECT_GT(win.width(), 60);
    EXPECT_GT(win.height(), 40);
    EXPECT_GE(win.textArea()->width(), TwipsToPixels(1440, dx));
    EXPECT_GE(win.textArea()->height(), TwipsToPixels(720, dy));
    EXPECT_TRUE(win.rect().contains(win.closeButton()->geometry())) << win.width() << "x" << win.height();
    EXPECT_FALSE(win.closeButton()->geometry().intersects(win.textArea()->geometry()));
}

TEST(Viewers, HelpRendersTheRtfFileOfTheProgramFolder)
{
    ScratchDir dir;
    dir.write("Parcelwise_Help.rtf",
              R"({\rtf1\ansi{\fonttbl{\f0 Arial;}}{\b Getting started}\par Add a {\i user} first.\par})");
    HelpWin win(dir.path());
    EXPECT_EQ(win.windowTitle(), "Parcelwise Help");
    EXPECT_TRUE(win.helpFileFound());
    QTextDocument *doc = win.textArea()->document();
    EXPECT_EQ(doc->toPlainText(), "Getting started\nAdd a user first.");
    EXPECT_EQ(doc->firstBlock().begin().fragment().charFormat().fontWeight(), QFont::Bold);
    EXPECT_TRUE(win.textArea()->isReadOnly());
    EXPECT_EQ(ExecAndClose(win, win.closeButton()), QDialog::Accepted);
}

TEST(Viewers, HelpSaysSoWhenTheFileIsMissing)
{
    ScratchDir dir;
    HelpWin win(dir.path());
    EXPECT_FALSE(win.helpFileFound());
    EXPECT_EQ(win.textArea()->toPlainText(), "Help file not found.");
    // The same layout rule as the other viewers.
    ASSERT_TRUE(ShowAndWait(win));
    win.resize(640, 480);
    QApplication::processEvents();
    EXPECT_EQ(win.textArea()->geometry(),
              QRect(0, 0, 640 - TwipsToPixels(435, win.logicalDpiX()), 480 - TwipsToPixels(1245, win.logicalDpiY())));
    // Not in the program folder but beside the program: found there.
    HelpWin beside(dir.path(), nullptr, QStringLiteral(PW_SOURCE_DIR "/resources"));
    EXPECT_TRUE(beside.helpFileFound());
}

TEST(Viewers, ShippedHelpFileReadsWell)
{
    HelpWin win(QStringLiteral(PW_SOURCE_DIR "/resources"));
    ASSERT_TRUE(win.helpFileFound());
    QTextDocument *doc = win.textArea()->document();
    int boldBlocks = 0, listItems = 0, italicFragments = 0;
    for (QTextBlock b = doc->firstBlock(); b.isValid(); b = b.next()) {
        if (b.textList())
            ++listItems;
        bool allBold = !b.text().isEmpty();
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            allBold = allBold && f.fontWeight() == QFont::Bold;
            italicFragments += f.fontItalic() ? 1 : 0;
        }
        boldBlocks += allBold ? 1 : 0;
    }
    EXPECT_GE(boldBlocks, 8); // headings
    EXPECT_GE(listItems, 10);
    EXPECT_GE(italicFragments, 3);
    const QString text = doc->toPlainText();
    for (const char *topic : {"Parcelwise_Users", "Parcelwise_Prefs", "Parcelwise_Queue", "Parcelwise_Downloads",
                              "Parcelwise_Logs", "Retry Wait", "Hold", "Dynamic", "Port"})
        EXPECT_TRUE(text.contains(QLatin1String(topic))) << topic;
    EXPECT_FALSE(text.contains('\\')) << "control words leaked into the text";
    EXPECT_FALSE(text.contains('{'));
    // It opens at the top.
    ASSERT_TRUE(ShowAndWait(win));
    EXPECT_EQ(win.textArea()->verticalScrollBar()->value(), 0);
    EXPECT_GT(win.textArea()->verticalScrollBar()->maximum(), 0);
}

TEST(Viewers, AboutBoxShowsLogoMottoAndVersion)
{
    AboutWin about("Version 1.0");
    EXPECT_EQ(about.windowTitle(), "About Parcelwise");
    EXPECT_EQ(about.findChild<QLabel *>("motto")->text(), "Send some files, Get some files.");
    EXPECT_EQ(about.findChild<QLabel *>("version")->text(), "Version 1.0");
    EXPECT_FALSE(about.findChild<QLabel *>("logo")->pixmap().isNull());
    EXPECT_EQ(ExecAndClose(about, about.okButton()), QDialog::Accepted);
}

TEST(Viewers, AboutBoxCodeWord)
{
    struct Typing {
        const char *keys;
        bool sets;
    };
    const Typing cases[] = {
        {"parcel", true},  {"xxparcelyy", true}, {"ParCel", true},  {"parc3el", true}, // only letters count
        {"parsel", false}, {"parce", false},     {"lecrap", false}, {"", false},
    };
    for (const Typing &t : cases) {
        SCOPED_TRACE(t.keys);
        AboutWin about("Version 1.0");
        int emitted = 0;
        QObject::connect(&about, &AboutWin::codeWordTyped, [&] { ++emitted; });
        ASSERT_TRUE(ShowAndWait(about));
        QApplication::setActiveWindow(&about);
        ASSERT_TRUE(WaitFor([&] { return about.isActiveWindow(); }, 5000));
        // Typed at whatever has the focus, which is the OK button.
        ASSERT_EQ(QApplication::focusWidget(), about.okButton());
        TypeKeys(about.okButton(), QString::fromLatin1(t.keys));
        EXPECT_EQ(about.codeWordEntered(), t.sets);
        EXPECT_EQ(emitted, t.sets ? 1 : 0);
        EXPECT_TRUE(about.isVisible()); // typing does not close the box
    }
}
