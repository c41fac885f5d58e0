// Small screens, the installation's name in titles, long tool-tip texts and the pace of repaints.
#include "TestSupport.h"
#include "ui/DisplayText.h"
#include "ui/Widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QMessageBox>

namespace {

TEST(WindowFit, TheMainWindowsMinimumGivesWayToASmallScreen)
{
    const QSize design(766, 497);
    const QMargins frame(1, 20, 1, 1);
    struct Case {
        QSize layout, available;
        QMargins frame;
        QSize expected;
    };
    const Case cases[] = {
        {{700, 397}, {1600, 1000}, frame, design},     // room enough: the design minimum
        {{700, 397}, {800, 500}, frame, {766, 479}},   // 800x500 with a title bar: the height gives way
        {{700, 397}, {800, 468}, frame, {766, 447}},   // and a panel besides
        {{700, 460}, {800, 468}, frame, {766, 460}},   // never below what the layout needs
        {{800, 397}, {1600, 1000}, {}, {800, 497}},    // fonts that need more width get it
        {{700, 397}, {}, frame, design},               // no screen known
    };
    for (const Case &c : cases)
        EXPECT_EQ(MinimumWindowSize(design, c.layout, c.available, c.frame), c.expected)
            << c.available.width() << "x" << c.available.height();
}

TEST(WindowFit, DialogTitlesNameTheInstallation)
{
    DialogFitter fitter(nullptr, QStringLiteral("/home/me/second"));
    qApp->installEventFilter(&fitter);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Parcelwise Preferences"));
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "Parcelwise Preferences (second)");
    dialog.hide();
    dialog.show(); // shown again, named once
    EXPECT_EQ(dialog.windowTitle(), "Parcelwise Preferences (second)");
    dialog.hide();
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Parcelwise"), QStringLiteral("text"));
    box.show();
    EXPECT_EQ(box.windowTitle(), "Parcelwise (second)");
    box.hide();
    qApp->removeEventFilter(&fitter);
    EXPECT_EQ(FolderTitle(QStringLiteral("Parcelwise"), QStringLiteral("/srv/parcel/run/")), "Parcelwise (run)");
}

TEST(WindowFit, LongTextsAreCutAndWrapped)
{
    EXPECT_EQ(CutText(QString(600, u'a'), 500).size(), 500);
    EXPECT_TRUE(CutText(QString(600, u'a'), 500).endsWith(QChar(0x2026)));
    EXPECT_EQ(CutText(QStringLiteral("short"), 500), "short");
    EXPECT_EQ(WrapLines(QStringLiteral("aaa bbb ccc"), 7), "aaa bbb\nccc");
    EXPECT_EQ(WrapLines(QStringLiteral("abcdefghij"), 4), "abcd\nefgh\nij");
    EXPECT_EQ(WrapLines(QStringLiteral("one\ntwo words"), 5), "one\ntwo\nwords");
}

TEST(WindowFit, RepaintsArePacedAndEndOnTheLatestState)
{
    int runs = 0;
    PaceLimiter pace(40, [&runs] { ++runs; });
    for (int i = 0; i < 100; ++i)
        pace.Request();
    // The first request runs at once, the other 99 together at the interval's end.
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(pace.Pending());
    ASSERT_TRUE(WaitFor([&] { return runs == 2; }, 5000));
    EXPECT_FALSE(pace.Pending());
    // Nothing more without a request; once the interval has passed a request runs at once.
    Pump(120);
    EXPECT_EQ(runs, 2);
    pace.Request();
    EXPECT_EQ(runs, 3);
}

} // namespace
