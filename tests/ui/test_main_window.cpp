// The main window over a live engine: what it shows, what its menus, toolbar, buttons and keys
// do to the engine, its resize rule, and texts that are long or not ASCII.
#include "UiFixture.h"
#include "core/TextUtil.h"
#include "core/Users.h"
#include "ui/ParcelWin.h"
#include "ui/QLoadWin.h"
#include "ui/ScreenState.h"
#include "ui/Viewers.h"
#include "ui/Widgets.h"

#include <QMap>
#include <gtest/gtest.h>
#include <utility>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QDropEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMouseEvent>
#include <QNetworkDatagram>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeView>
#include <QUdpSocket>
#include <QTcpServer>
#include <QDir>
#include <QUrl>

namespace {

// Receives the addresses the window asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

class MainWindowTest : public WindowTest<ParcelWin> {
protected:
    void SetUp() override { Open(); }

    QString LabelText(const char *name) const
    {
        if (auto *elided = win->findChild<ElidedLabel *>(QLatin1String(name)))
            return elided->fullText();
        return win->findChild<QLabel *>(QLatin1String(name))->text();
    }

    // Puts rows in the queue as the loader would: one per file name, for user "bob".
    void Queue(const QList<QByteArray> &names)
    {
        std::vector<QueueItem> items;
        for (const QByteArray &n : names)
            items.push_back(QueueModel::MakeNewItem("bob", n, "/nowhere/" + n, "", inst.clock.nowSerial()));
        inst.engine->AddQueueItems(items);
    }

    void Select(const QList<int> &rows)
    {
        QTreeView *view = win->queueView();
        view->clearSelection();
        for (int r : rows)
            view->selectionModel()->select(view->model()->index(r, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    QByteArray Field(int row, int field) const { return inst.engine->Queue().item(row).field(field); }

    int PxX(int twips) const { return TwipsToPixels(twips, win->logicalDpiX()); }
};

TEST_F(MainWindowTest, ShowsTheEngineStateAtStart)
{
    // The title names the installation by its folder.
    EXPECT_EQ(win->windowTitle(), "Parcelwise (" + QDir(inst.engine->Paths().ProgramFolder).dirName() + ")");
    EXPECT_EQ(LabelText("Statictext4"), "Send channel  1 status: Idle");
    EXPECT_EQ(LabelText("Statictext6"), "");
    EXPECT_EQ(LabelText("Statictext5"), "");
    // The own address; the port callers use shows only once it is listened on.
    EXPECT_EQ(LabelText("Statictext1"), "127.0.0.1");
    EXPECT_TRUE(win->menuAction("mnuStart")->isEnabled());
    EXPECT_EQ(LabelText("Panel3"), "  Version 1.0");
    auto *incoming = win->findChild<QGroupBox *>("Frame1");
    auto *outgoing = win->findChild<QGroupBox *>("Frame2");
    ASSERT_TRUE(incoming && outgoing);
    EXPECT_EQ(incoming->title(), "Incoming");
    EXPECT_EQ(outgoing->title(), "Outgoing");
    EXPECT_EQ(win->findChild<QGroupBox *>("Frame3")->title(), "Channel Status");
    for (const char *side : {"Inc", "Out"})
        for (int i = 0; i < 4; ++i) {
            auto *button = win->findChild<QPushButton *>(QStringLiteral("%1Com%2").arg(side).arg(i));
            ASSERT_TRUE(button);
            EXPECT_EQ(button->text(), QStringLiteral("Channel %1").arg(i + 1));
            EXPECT_EQ(button->toolTip(), "View Channel Status");
        }
    // Two receive channels and one send channel by default; the rest are disabled (picture 4).
    EXPECT_EQ(win->findChild<QLabel *>("IncPic1")->property("picture").toInt(), 2);
    EXPECT_EQ(win->findChild<QLabel *>("IncPic2")->property("picture").toInt(), 4);
    EXPECT_EQ(win->findChild<QLabel *>("OutPic0")->property("picture").toInt(), 2);
    EXPECT_EQ(win->findChild<QLabel *>("OutPic1")->property("picture").toInt(), 4);
    EXPECT_FALSE(win->findChild<QLabel *>("Picture1")->pixmap().isNull());
    EXPECT_FALSE(win->findChild<QLabel *>("Picture2")->pixmap().isNull());
    SaveScreenshot(win.get(), "main_window");

    // Once started there is nothing more to start; the port shows once it listens.
    inst.engine->StartChannels();
    inst.engine->QueueTick();
    EXPECT_FALSE(win->menuAction("mnuStart")->isEnabled());
    int startTools = 0;
    for (QAction *a : win->findChild<QToolBar *>("Toolbar1")->actions())
        startTools += a->text() == "Start the Comms" && !a->isEnabled() ? 1 : 0;
    EXPECT_EQ(startTools, 1);
    EXPECT_EQ(LabelText("Statictext1"), QStringLiteral("127.0.0.1:%1").arg(inst.engine->Prefs.ListenPort));
}

TEST_F(MainWindowTest, AnAddressWhosePortIsTakenShowsNoPort)
{
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::Any, static_cast<quint16>(inst.engine->Prefs.ListenPort)));
    inst.engine->StartChannels();
    inst.engine->QueueTick();
    EXPECT_EQ(LabelText("Statictext1"), "127.0.0.1");
    EXPECT_TRUE(win->findChild<QLabel *>("Statictext1")->toolTip().contains("Preferences"));
    squatter.close();
    inst.engine->QueueTick();
    EXPECT_EQ(LabelText("Statictext1"), QStringLiteral("127.0.0.1:%1").arg(inst.engine->Prefs.ListenPort));
}

TEST_F(MainWindowTest, QueueListMirrorsTheModelWithSixVisibleColumns)
{
    Queue({"a.txt", "b.txt"});
    QTreeView *view = win->queueView();
    ASSERT_EQ(view->model()->columnCount(), 21);
    ASSERT_EQ(view->model()->rowCount(), 2);
    const QList<std::pair<int, int>> visible = {{0, 617}, {3, 2646}, {5, 5468}, {7, 529}, {10, 706}};
    for (int c = 0; c < 21; ++c) {
        const bool shown =
            c == 12 || std::any_of(visible.begin(), visible.end(), [c](const auto &v) { return v.first == c; });
        EXPECT_EQ(!view->isColumnHidden(c), shown) << "column " << c;
        EXPECT_EQ(view->model()->headerData(c, Qt::Horizontal).toString(), "") << "column " << c;
    }
    // The narrow columns keep their design widths; the columns headers carry tool tips instead
    // of captions.
    for (const auto &[column, twips] : visible) {
        if (column == 0 || column == 7 || column == 10) {
            EXPECT_EQ(view->columnWidth(column), PxX(twips)) << "column " << column;
        }
    }
    EXPECT_EQ(view->model()->headerData(7, Qt::Horizontal, Qt::ToolTipRole).toString(), "Priority");
    EXPECT_EQ(view->model()->headerData(10, Qt::Horizontal, Qt::ToolTipRole).toString(), "Tries");
    // A row's tool tip names its file's path and size.
    const QString tip = view->model()->index(1, 5).data(Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains("b.txt")) << tip.toStdString();
    EXPECT_TRUE(tip.contains("bytes") || tip.contains("not found")) << tip.toStdString();
    EXPECT_EQ(view->model()->index(1, 5).data().toString(), "b.txt");
    EXPECT_EQ(view->model()->index(1, 12).data().toString(), "Queued");
    EXPECT_FALSE(view->model()->index(0, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::ExtendedSelection);
}

TEST_F(MainWindowTest, QueueMenuCommandsActOnTheSelectedRows)
{
    Queue({"a", "b", "c", "d"});
    Select({1, 3});
    win->menuAction("mnuHold")->trigger();
    EXPECT_EQ(Field(0, QueueItem::Status), "Q");
    EXPECT_EQ(Field(1, QueueItem::Status), "H");
    EXPECT_EQ(Field(1, QueueItem::StatusText), "Hold");
    EXPECT_EQ(Field(3, QueueItem::Status), "H");
    EXPECT_TRUE(inst.dir.read("Parcelwise_Queue").contains("Hold"));

    Select({3});
    win->menuAction("mnuEnable")->trigger();
    EXPECT_EQ(Field(1, QueueItem::Status), "H");
    EXPECT_EQ(Field(3, QueueItem::Status), "Q");
    EXPECT_EQ(Field(3, QueueItem::StatusText), "Queued");

    Select({0, 2});
    win->menuAction("mnuPriority1")->trigger();
    EXPECT_EQ(Field(0, QueueItem::Priority), "1");
    EXPECT_EQ(Field(1, QueueItem::Priority), "3");
    EXPECT_EQ(Field(2, QueueItem::Priority), "1");

    // Several rows go only when the person agrees.
    Select({0, 1});
    inst.prompt.answer = false;
    win->menuAction("mnuDelete")->trigger();
    EXPECT_EQ(inst.engine->Queue().rowCount(), 4);
    inst.prompt.answer = true;
    win->menuAction("mnuDelete")->trigger();
    EXPECT_EQ(inst.prompt.questions, QStringList({"Delete 2 queue rows?", "Delete 2 queue rows?"}));
    ASSERT_EQ(inst.engine->Queue().rowCount(), 2);
    EXPECT_EQ(Field(0, QueueItem::FileName), "c");
    EXPECT_EQ(Field(1, QueueItem::FileName), "d");
    // One row goes without a question.
    Select({1});
    win->menuAction("mnuDelete")->trigger();
    EXPECT_EQ(inst.prompt.questions.size(), 2);
    EXPECT_EQ(inst.engine->Queue().rowCount(), 1);
}

TEST_F(MainWindowTest, DeletingSeveralRowsSaysThatRowsBeingSentStay)
{
    inst.dir.write("a.bin", QByteArray(8 * 1024 * 1024, 'a'));
    // A receiver that accepts the connection and never greets keeps the row busy.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    inst.engine->Users = {MakeUserRecord({"bob", "pw", "me", "mine", "S", "127.0.0.1", QByteArray::number(silent.serverPort())})};
    inst.engine->AddQueueItems({QueueModel::MakeNewItem("bob", "a.bin", inst.file("a.bin").toLocal8Bit(), "", inst.clock.nowSerial())});
    Queue({"b", "c"});
    inst.engine->StartChannels();
    inst.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return Field(0, QueueItem::Status) == "B"; }));
    Select({0, 1, 2});
    win->menuAction("mnuDelete")->trigger();
    ASSERT_EQ(inst.prompt.questions.size(), 1);
    EXPECT_EQ(inst.prompt.questions[0], "Delete 3 queue rows?\n\n1 of them is being sent and stays in the queue.");
    ASSERT_EQ(inst.engine->Queue().rowCount(), 1);
    EXPECT_EQ(Field(0, QueueItem::Status), "B");
}

TEST_F(MainWindowTest, ARowsToolTipSaysWhatItsStatusMeansAndStaysNarrow)
{
    // Nothing listens at the addressee's port: the connection is refused.
    const QByteArray port = QByteArray::number(FreeLoopbackPort());
    inst.dir.write("a.bin", "content");
    inst.engine->Users = {MakeUserRecord({"bob", "pw", "me", "mine", "S", "127.0.0.1", port})};
    inst.engine->AddQueueItems({QueueModel::MakeNewItem("bob", "a.bin", inst.file("a.bin").toLocal8Bit(),
                                                        QByteArray(10000, 'm'), inst.clock.nowSerial())});
    inst.engine->StartChannels();
    inst.engine->QueueTick();
    ASSERT_TRUE(WaitFor([&] { return Field(0, QueueItem::Status) == "W"; }));
    const QString tip = win->queueView()->model()->index(0, 5).data(Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains("Retry Wait 10061: connection refused by 127.0.0.1:" + port + "; next try at " +
                             ShortTime(inst.clock.now().addSecs(30 * 60))))
        << tip.toStdString();
    // The 10,000-character message is cut at 500 and every line is wrapped. Only the part from
    // "Message:" on is counted: the file's path lies in a temporary folder with a random name.
    const QString message = tip.mid(tip.indexOf(QStringLiteral("Message:")));
    ASSERT_TRUE(message.startsWith(QStringLiteral("Message:"))) << tip.toStdString();
    EXPECT_LE(message.count(u'm'), 500);
    EXPECT_GE(message.count(u'm'), 400);
    for (const QString &line : tip.split(u'\n'))
        EXPECT_LE(line.size(), 80) << line.toStdString();
    // The row itself keeps the stored status.
    EXPECT_EQ(win->queueView()->model()->index(0, 12).data().toString(), "Retry Wait 10061");
}

TEST_F(MainWindowTest, DeleteKeyInTheListDeletesTheSelectedRows)
{
    Queue({"a", "b", "c"});
    Select({0, 2});
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QApplication::sendEvent(win->queueView(), &press);
    ASSERT_EQ(inst.engine->Queue().rowCount(), 1);
    EXPECT_EQ(Field(0, QueueItem::FileName), "b");
    // Other keys leave the queue alone.
    Select({0});
    QKeyEvent other(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
    QApplication::sendEvent(win->queueView(), &other);
    EXPECT_EQ(inst.engine->Queue().rowCount(), 1);
    // The Delete key of the number pad is the same key.
    QKeyEvent keypad(QEvent::KeyPress, Qt::Key_Delete, Qt::KeypadModifier);
    QApplication::sendEvent(win->queueView(), &keypad);
    EXPECT_EQ(inst.engine->Queue().rowCount(), 0);
}

TEST_F(MainWindowTest, ToolbarPositionsCarryTheirToolTips)
{
    auto *bar = win->findChild<QToolBar *>("Toolbar1");
    ASSERT_TRUE(bar);
    const QList<QAction *> actions = bar->actions();
    ASSERT_GE(actions.size(), 22);
    const std::map<int, QString> tips = {
        {2, "Start the Comms"},
        {5, "Place selected queue items on hold"},
        {6, "Enable selected queue items"},
        {7, "Delete selected queue items"},
        {8, "Change selected queue items to priority 1"},
        {9, "Change selected queue items to priority 2"},
        {10, "Change selected queue items to priority 3"},
        {13, "Maintain list of Users"},
        {14, "Maintain Preferences"},
        {15, "Place Files in the queue"},
        {16, "View Incoming Messages"},
        {17, "View Transfer Log"},
        {20, "Show Help"},
        // Quit stands apart from Help, at the end after a separator.
        {22, "Shut down and Quit"},
    };
    for (int position = 1; position <= 22; ++position) {
        QAction *a = actions[position - 1];
        const auto tip = tips.find(position);
        if (tip == tips.end()) {
            EXPECT_TRUE(a->isSeparator()) << "position " << position;
        } else {
            EXPECT_FALSE(a->isSeparator()) << "position " << position;
            EXPECT_EQ(a->toolTip(), tip->second) << "position " << position;
            EXPECT_FALSE(a->icon().isNull()) << "position " << position;
        }
    }

    // Position 6 enables, position 8 sets priority 1, position 2 starts the channels.
    Queue({"a"});
    inst.engine->HoldSelectedItems({0});
    Select({0});
    actions[5]->trigger();
    EXPECT_EQ(Field(0, QueueItem::Status), "Q");
    actions[7]->trigger();
    EXPECT_EQ(Field(0, QueueItem::Priority), "1");
    EXPECT_FALSE(inst.engine->TimersRunning());
    actions[1]->trigger();
    EXPECT_TRUE(inst.engine->TimersRunning());
    actions[21]->trigger();
    EXPECT_TRUE(inst.engine->ShuttingDown);
}

TEST_F(MainWindowTest, MenusCarryTheirCaptionsInOrder)
{
    QStringList shown;
    for (QAction *menu : win->menuBar()->actions()) {
        QStringList entries;
        QMap<QChar, bool> mnemonics;
        for (QAction *a : menu->menu()->actions()) {
            if (a->isSeparator()) {
                entries << QStringLiteral("-");
                continue;
            }
            // Every entry has a mnemonic of its own within its menu; the caption is unchanged.
            const qsizetype amp = a->text().indexOf(u'&');
            EXPECT_GE(amp, 0) << a->text().toStdString();
            if (amp >= 0) {
                EXPECT_FALSE(std::exchange(mnemonics[a->text().at(amp + 1).toLower()], true)) << a->text().toStdString();
            }
            entries << QString(a->text()).remove(u'&');
        }
        shown << QString(menu->text()).remove(u'&') + ": " + entries.join(" | ");
    }
    EXPECT_EQ(shown, QStringList({
                         "File: Exit",
                         "Edit: Copy | - | Preferences... | Users...",
                         "Queue: Enable | Hold | - | Delete | Remove Sent Rows | - | Set Priority 1 | Set Priority 2 | "
                         "Set Priority 3 | - | Load Files...",
                         "Communications: Start Communications",
                         "View: Messages... | Logs... | - | Open Downloads Folder",
                         "Help: Program Help... | - | About Parcelwise...",
                     }));
    EXPECT_EQ(win->menuAction("mnuHelp")->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_EQ(win->menuAction("mnuExit")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
}

TEST_F(MainWindowTest, LoadFilesWithoutUsersSaysSoAndOffersTheUsersWindow)
{
    ASSERT_TRUE(inst.engine->Users.isEmpty());
    inst.prompt.answer = false;
    win->menuAction("mnuLoad")->trigger();
    ASSERT_EQ(inst.prompt.questions.size(), 1);
    EXPECT_TRUE(inst.prompt.questions[0].startsWith("No Users Defined"));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(inst.engine->Queue().rowCount(), 0);
    // Taking the offer opens the users window.
    inst.prompt.answer = true;
    QString opened;
    WhenModalShown([&](QWidget *dialog) {
        opened = QString::fromLatin1(dialog->metaObject()->className());
        dialog->close();
    });
    win->menuAction("mnuLoad")->trigger();
    EXPECT_EQ(opened, "UserWin");
}

TEST_F(MainWindowTest, ChannelButtonsPickTheChannelShown)
{
    ClickOn(Button("IncCom2"));
    EXPECT_EQ(LabelText("Statictext4"), "Receive channel  3 status: Disabled");
    ClickOn(Button("IncCom0"));
    EXPECT_EQ(LabelText("Statictext4"), "Receive channel  1 status: Idle");
    win->menuAction("mnuStart")->trigger();
    inst.engine->QueueTick();
    ClickOn(Button("IncCom0"));
    EXPECT_EQ(LabelText("Statictext4"), "Receive channel  1 status: Listening");
    ClickOn(Button("OutCom3"));
    EXPECT_EQ(LabelText("Statictext4"), "Send channel  4 status: Disabled");
    EXPECT_EQ(win->Screen().ShownDirection(), 'O');
    EXPECT_EQ(win->Screen().ShownChannel(), 4);
    auto *bar = win->findChild<QProgressBar *>("ChannelProgress");
    ASSERT_TRUE(bar);
    EXPECT_FALSE(bar->isEnabled());
}

TEST_F(MainWindowTest, LogFollowsTheEngineAndIsEmptiedWithIt)
{
    auto *log = win->findChild<QPlainTextEdit *>("Editfield1");
    ASSERT_TRUE(log);
    EXPECT_TRUE(log->isReadOnly());
    inst.engine->Showit("first line");
    EXPECT_TRUE(log->toPlainText().endsWith(" first line"));
    // Fill the engine's screen text past its limit; the next line empties the screen first.
    while (inst.engine->Log().ScreenText().size() <= 15000)
        inst.engine->Showit(QByteArray(400, 'x'));
    inst.engine->Showit("after the limit");
    EXPECT_EQ(log->document()->blockCount(), 1);
    EXPECT_TRUE(log->toPlainText().endsWith(" after the limit"));
    EXPECT_FALSE(log->toPlainText().contains("first line"));
}

TEST_F(MainWindowTest, MouseOverTheBackgroundClearsStatusPanelOne)
{
    // A send to a closed port shows "Connecting to" in panel 1.
    inst.engine->Users = {
        MakeUserRecord({"bob", "pw", "me", "mine", "S", "127.0.0.1", QByteArray::number(FreeLoopbackPort())})};
    inst.dir.write("a", "content");
    inst.engine->AddQueueItems(
        {QueueModel::MakeNewItem("bob", "a", inst.file("a").toLocal8Bit(), "", inst.clock.nowSerial())});
    inst.engine->StartChannels();
    inst.engine->QueueTick();
    ASSERT_TRUE(WaitFor([this] { return !win->Screen().StatusPanel(1).isEmpty(); }, 3000))
        << inst.engine->Log().ScreenText().toStdString();
    EXPECT_EQ(LabelText("Panel1"), "Connecting to 127.0.0.1");
    QWidget *background = win->centralWidget();
    QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), background->mapToGlobal(QPointF(2, 2)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(background, &move);
    EXPECT_EQ(win->Screen().StatusPanel(1), "");
    EXPECT_EQ(LabelText("Panel1"), "");
}

TEST_F(MainWindowTest, CopyTakesTheSelectedTextOfAFocusedTextFieldOnly)
{
    inst.engine->Showit("copy me please");
    auto *log = win->findChild<QPlainTextEdit *>("Editfield1");
    QApplication::clipboard()->setText("before");
    win->activateWindow();

    win->queueView()->setFocus();
    win->menuAction("mnuCopy")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "before");

    log->setFocus();
    QTextCursor cursor = log->document()->find("copy me");
    ASSERT_FALSE(cursor.isNull());
    log->setTextCursor(cursor);
    win->menuAction("mnuCopy")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "copy me");
}

TEST_F(MainWindowTest, ResizeFitsTheQueueColumnsAndSizesPanelTwo)
{
    const QSize design(PxX(7735), TwipsToPixels(7455, win->logicalDpiY()));
    EXPECT_EQ(win->minimumSize(), design.expandedTo(win->minimumSizeHint()));
    win->resize(PxX(12000), TwipsToPixels(9000, win->logicalDpiY()));
    Pump(20);
    const int w = win->frameGeometry().width();
    EXPECT_EQ(win->findChild<QLabel *>("Panel2")->minimumWidth(), w - PxX(5565));
    // The columns fill the list exactly: the file name takes what the others leave, and the
    // status column holds the longest status text at any size.
    const auto columnsWidth = [this] {
        int sum = 0;
        for (int c : {0, 3, 5, 7, 10, 12})
            sum += win->queueView()->columnWidth(c);
        return sum;
    };
    const QFontMetrics metrics = win->queueView()->fontMetrics();
    const int longestStatus = metrics.horizontalAdvance(QStringLiteral("Retry Wait Domain Missing"));
    EXPECT_EQ(columnsWidth(), win->queueView()->viewport()->width());
    EXPECT_GT(win->queueView()->columnWidth(5), win->queueView()->columnWidth(12));
    EXPECT_GE(win->queueView()->columnWidth(12), longestStatus);

    win->resize(10, 10);
    Pump(20);
    EXPECT_GE(win->width(), PxX(7735));
    EXPECT_GE(win->height(), TwipsToPixels(7455, win->logicalDpiY()));
    EXPECT_LE(columnsWidth(), win->queueView()->viewport()->width());
    EXPECT_GE(win->queueView()->columnWidth(12), longestStatus);
    SaveScreenshot(win.get(), "main_window_minimum");
}

TEST_F(MainWindowTest, LogoAndDownloadsOpenThroughTheDesktop)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    ClickOn(win->findChild<QLabel *>("Picture1"));
    QDesktopServices::unsetUrlHandler("https");
    QList<QUrl> folders;
    win->SetFolderOpener([&](const QUrl &url) {
        folders << url;
        return true;
    });
    win->menuAction("mnuDownloads")->trigger();
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened[0], QUrl("https://parcelwise.example/"));
    EXPECT_EQ(folders, QList<QUrl>({QUrl::fromLocalFile(inst.engine->Paths().DownloadsFolder)}));
    EXPECT_TRUE(inst.prompt.messages.isEmpty());
    // Without a file manager the person is told where the folder is.
    win->SetFolderOpener([](const QUrl &) { return false; });
    win->menuAction("mnuDownloads")->trigger();
    ASSERT_EQ(inst.prompt.messages.size(), 1);
    EXPECT_TRUE(inst.prompt.messages[0].contains("No file manager")) << inst.prompt.messages[0].toStdString();
    EXPECT_TRUE(inst.prompt.messages[0].endsWith(inst.engine->Paths().DownloadsFolder));
}

TEST_F(MainWindowTest, ExitAndClosingStartTheShutdown)
{
    win->close();
    EXPECT_TRUE(win->isVisible());
    EXPECT_TRUE(inst.engine->ShuttingDown);
    EXPECT_TRUE(inst.engine->Log().ScreenText().contains("Closing down program"));
    inst.engine->QuitTimerTick();
    ASSERT_TRUE(inst.engine->MayUnload);
    win->close();
    EXPECT_FALSE(win->isVisible());
}

TEST_F(MainWindowTest, ExitMenuBeginsTheShutdown)
{
    win->menuAction("mnuExit")->trigger();
    EXPECT_TRUE(inst.engine->ShuttingDown);
}

TEST_F(MainWindowTest, AboutBoxCodeWordSetsThePictureFlag)
{
    bool opened = false;
    QString keyShown;
    WhenModalShown([&](QWidget *dialog) {
        opened = qobject_cast<AboutWin *>(dialog) != nullptr;
        if (auto *key = dialog->findChild<QLabel *>(QStringLiteral("keyFingerprint")))
            keyShown = key->text();
        for (const char c : QByteArray(AboutWin::CodeWord)) {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_A + (c - 'a'), Qt::NoModifier, QString(QChar(c)));
            QApplication::sendEvent(dialog, &key);
        }
    });
    win->menuAction("mnuAbout")->trigger();
    EXPECT_TRUE(opened);
    EXPECT_TRUE(win->Screen().PictureFlag());
    // The installation's own key, to be compared by phone.
    ASSERT_EQ(inst.engine->Trust().OwnFingerprint().size(), 79);
    EXPECT_TRUE(keyShown.contains(QString::fromLatin1(inst.engine->Trust().OwnFingerprint()))) << keyShown.toStdString();
}

TEST_F(MainWindowTest, ViewersOpenWithTheEngineTexts)
{
    inst.engine->Showit("a line for the viewer");
    QString logShown;
    WhenModalShown([&](QWidget *dialog) {
        if (auto *viewer = qobject_cast<NewLogWin *>(dialog))
            logShown = viewer->textArea()->toPlainText();
    });
    win->menuAction("mnuLogs")->trigger();
    EXPECT_TRUE(logShown.contains("a line for the viewer"));

    QString title;
    WhenModalShown([&](QWidget *dialog) { title = dialog ? dialog->windowTitle() : QString(); });
    win->menuAction("mnuMessages")->trigger();
    EXPECT_EQ(title, "Parcelwise New Messages");

    bool found = false;
    WhenModalShown([&](QWidget *dialog) {
        if (auto *help = qobject_cast<HelpWin *>(dialog))
            found = help->helpFileFound();
    });
    win->menuAction("mnuHelp")->trigger();
    // Not in the scratch program folder, but beside the program, where the build puts it.
    EXPECT_EQ(found, QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/Parcelwise_Help.rtf")));
}

TEST_F(MainWindowTest, LongAndNonAsciiTextsKeepTheWindowSize)
{
    const QSize before = win->size();
    const QByteArray longName = QByteArray("\xc3\xa9t\xc3\xa9_") + QByteArray(5000, 'n') + ".bin";
    Queue({longName});
    inst.engine->Showit(QByteArray(20000, 'w'));
    inst.engine->Showit("caf\xe9 \xff\x01\x02 bytes that are no UTF-8");
    inst.engine->Users = {
        MakeUserRecord({"bob", "pw", "me", "mine", "S", "127.0.0.1", QByteArray::number(FreeLoopbackPort())})};
    inst.engine->StartChannels();
    inst.engine->QueueTick();
    inst.engine->QueueTick();
    Pump(50);
    EXPECT_EQ(win->size(), before);
    EXPECT_TRUE(win->queueView()->model()->index(0, 5).data().toString().startsWith(u"\u00e9t\u00e9_nnn"));
    EXPECT_TRUE(win->findChild<QPlainTextEdit *>("Editfield1")->toPlainText().contains(u"caf\u00e9"));
    SaveScreenshot(win.get(), "main_window_long_texts");
}

} // namespace

TEST_F(MainWindowTest, OwnAddressNamesTheRouterWhileThePortIsMapped)
{
    // A NAT-PMP router on its own loopback address: external address 203.0.113.7, port 45000.
    QUdpSocket router;
    ASSERT_TRUE(router.bind(QHostAddress(QStringLiteral("127.0.0.20")), 5351));
    QObject::connect(&router, &QUdpSocket::readyRead, [&] {
        while (router.hasPendingDatagrams()) {
            const QNetworkDatagram d = router.receiveDatagram();
            const QByteArray r = d.data();
            const QByteArray answer = r.size() == 2
                ? QByteArray("\0\x80\0\0\0\0\0\1\xcb\0\x71\x07", 12)
                : QByteArray("\0\x82\0\0\0\0\0\1", 8) + r.mid(4, 2)
                    + (r.right(4) == QByteArray(4, '\0') ? QByteArray(6, '\0') : QByteArray("\xaf\xc8\0\0\x1c\x20", 6));
            router.writeDatagram(answer, d.senderAddress(), d.senderPort());
        }
    });
    Engine &e = *inst.engine;
    const QString local = QStringLiteral("127.0.0.1:%1").arg(e.Prefs.ListenPort);
    e.Mapper().SetRouter(RouterChoice::FromValues("127.0.0.20", QByteArray()));
    e.AllowPortMapping(true);
    Preferences prefs = e.Prefs;
    prefs.PortMapping = true;
    e.StartChannels();
    e.SavePrefs(prefs);
    ASSERT_TRUE(WaitFor([&] { return LabelText("Statictext1") == "203.0.113.7:45000 (router)"; }))
        << LabelText("Statictext1").toStdString();
    const QString tip = win->findChild<QLabel *>("Statictext1")->toolTip();
    EXPECT_TRUE(tip.contains("NAT-PMP")) << tip.toStdString();
    EXPECT_TRUE(tip.contains(local)) << tip.toStdString();

    prefs.PortMapping = false;
    e.SavePrefs(prefs);
    ASSERT_TRUE(WaitFor([&] { return LabelText("Statictext1") == local; })) << LabelText("Statictext1").toStdString();
}

#include "test_main_window.moc"

TEST_F(MainWindowTest, DroppedFilesOpenTheLoaderWithThemListed)
{
    inst.engine->Users = {
        MakeUserRecord({"bob", "pw", "me", "mine", "S", "127.0.0.1", QByteArray::number(FreeLoopbackPort())})};
    inst.dir.write("dropped one.txt", "1");
    inst.dir.write("two.txt", "22");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(inst.file("dropped one.txt")), QUrl::fromLocalFile(inst.file("two.txt")),
                  QUrl(QStringLiteral("https://example.invalid/not-a-file"))});
    // Dropped on the window or on the queue list.
    for (QWidget *target : {static_cast<QWidget *>(win.get()), win->queueView()->viewport()}) {
        SCOPED_TRACE(target->objectName().toStdString());
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        // The loader opens once the drop has been answered.
        QStringList listed;
        WhenModalShown([&](QWidget *dialog) {
            if (auto *loader = qobject_cast<QLoadWin *>(dialog))
                for (const QLoadWin::PendingFile &file : loader->PendingFiles())
                    listed << QString::fromLocal8Bit(file.fileName);
        });
        ASSERT_TRUE(WaitFor([&] { return !listed.isEmpty(); }));
        EXPECT_EQ(listed, QStringList({"dropped one.txt", "two.txt"}));
    }
    // Nothing is queued until the loader's Load.
    EXPECT_EQ(inst.engine->Queue().rowCount(), 0);
}
