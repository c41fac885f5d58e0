// The main window's menus, toolbar and row menu, and the commands they give: queue edits on the
// selected rows, the dialogs, the quit, copy, the downloads folder and the web address.
#include "ui/ParcelWin.h"

#include "core/UserPrompt.h"
#include "transfer/Engine.h"
#include "ui/Icons.h"
#include "ui/PrefWin.h"
#include "ui/QLoadWin.h"
#include "ui/QueueView.h"
#include "ui/ScreenState.h"
#include "ui/UserWin.h"
#include "ui/Viewers.h"
#include "ui/DisplayText.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolBar>
#include <QUrl>

#include <algorithm>
#include <functional>
#include <set>

void ParcelWin::BuildMenus()
{
    auto add = [this](QMenu *menu, const QString &caption, const char *name, auto slot,
                      const QKeySequence &shortcut = {}) {
        QAction *action = menu->addAction(caption);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(shortcut);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, QStringLiteral("E&xit"), "mnuExit", [this] { QuitFromWindow(); }, QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu *edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    add(edit, QStringLiteral("&Copy"), "mnuCopy", [this] { CopySelection(); }, QKeySequence::Copy);
    edit->addSeparator();
    add(edit, QStringLiteral("&Preferences..."), "mnuPrefs", [this] { ShowPreferences(); });
    add(edit, QStringLiteral("&Users..."), "mnuUsers", [this] { ShowUsers(); });

    QMenu *queue = menuBar()->addMenu(QStringLiteral("&Queue"));
    add(queue, QStringLiteral("&Enable"), "mnuEnable", [this] { EnableSelected(); }, QKeySequence(Qt::CTRL | Qt::Key_E));
    add(queue, QStringLiteral("&Hold"), "mnuHold", [this] { HoldSelected(); }, QKeySequence(Qt::CTRL | Qt::Key_H));
    queue->addSeparator();
    add(queue, QStringLiteral("&Delete"), "mnuDelete", [this] { DeleteSelected(); });
    add(queue, QStringLiteral("&Remove Sent Rows"), "mnuRemoveSent", [this] { engine_.RemoveSentRows(); });
    queue->addSeparator();
    add(queue, QStringLiteral("Set Priority &1"), "mnuPriority1", [this] { SetSelectedPriority(1); },
        QKeySequence(Qt::CTRL | Qt::Key_1));
    add(queue, QStringLiteral("Set Priority &2"), "mnuPriority2", [this] { SetSelectedPriority(2); },
        QKeySequence(Qt::CTRL | Qt::Key_2));
    add(queue, QStringLiteral("Set Priority &3"), "mnuPriority3", [this] { SetSelectedPriority(3); },
        QKeySequence(Qt::CTRL | Qt::Key_3));
    queue->addSeparator();
    add(queue, QStringLiteral("&Load Files..."), "mnuLoad", [this] { ShowQueueLoader(); }, QKeySequence(Qt::CTRL | Qt::Key_L));

    QMenu *comms = menuBar()->addMenu(QStringLiteral("&Communications"));
    // Greyed out once communications run: there is nothing more to start.
    add(comms, QStringLiteral("&Start Communications"), "mnuStart", [this] { engine_.StartChannels(); });

    QMenu *view = menuBar()->addMenu(QStringLiteral("&View"));
    add(view, QStringLiteral("&Messages..."), "mnuMessages", [this] { ShowMessageViewer(); });
    add(view, QStringLiteral("&Logs..."), "mnuLogs", [this] { ShowLogViewer(); });
    view->addSeparator();
    add(view, QStringLiteral("Open &Downloads Folder"), "mnuDownloads", [this] { OpenDownloadsFolder(); });

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    add(help, QStringLiteral("Program &Help..."), "mnuHelp", [this] { ShowHelp(); }, QKeySequence(Qt::Key_F1));
    help->addSeparator();
    add(help, QStringLiteral("&About Parcelwise..."), "mnuAbout", [this] { ShowAbout(); });
}

QAction *ParcelWin::menuAction(const QString &name) const
{
    return menuBar()->findChild<QAction *>(name);
}

void ParcelWin::BuildToolbar()
{
    struct Tool {
        int position;
        ToolId icon;
        const char *tip;
        std::function<void()> run;
    };
    const Tool tools[] = {
        {2, ToolId::StartComms, "Start the Comms", [this] { engine_.StartChannels(); }},
        {5, ToolId::Hold, "Place selected queue items on hold", [this] { HoldSelected(); }},
        {6, ToolId::Enable, "Enable selected queue items", [this] { EnableSelected(); }},
        {7, ToolId::Delete, "Delete selected queue items", [this] { DeleteSelected(); }},
        {8, ToolId::Priority1, "Change selected queue items to priority 1", [this] { SetSelectedPriority(1); }},
        {9, ToolId::Priority2, "Change selected queue items to priority 2", [this] { SetSelectedPriority(2); }},
        {10, ToolId::Priority3, "Change selected queue items to priority 3", [this] { SetSelectedPriority(3); }},
        {13, ToolId::Users, "Maintain list of Users", [this] { ShowUsers(); }},
        {14, ToolId::Preferences, "Maintain Preferences", [this] { ShowPreferences(); }},
        {15, ToolId::LoadFiles, "Place Files in the queue", [this] { ShowQueueLoader(); }},
        {16, ToolId::Messages, "View Incoming Messages", [this] { ShowMessageViewer(); }},
        {17, ToolId::Logs, "View Transfer Log", [this] { ShowLogViewer(); }},
        {20, ToolId::Help, "Show Help", [this] { ShowHelp(); }},
        {22, ToolId::Quit, "Shut down and Quit", [this] { QuitFromWindow(); }},
    };
    QToolBar *bar = addToolBar(QStringLiteral("Toolbar1"));
    bar->setObjectName(QStringLiteral("Toolbar1"));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setContextMenuPolicy(Qt::PreventContextMenu);
    bar->setIconSize(QSize(24, 24));
    for (int position = 1; position <= ToolbarPositions; ++position) {
        const auto tool = std::find_if(std::begin(tools), std::end(tools),
                                       [position](const Tool &t) { return t.position == position; });
        if (tool == std::end(tools)) {
            bar->addSeparator();
            continue;
        }
        QAction *action = bar->addAction(ToolIcon(tool->icon), QString::fromLatin1(tool->tip));
        action->setToolTip(QString::fromLatin1(tool->tip));
        connect(action, &QAction::triggered, this, tool->run);
        if (tool->icon == ToolId::Messages)
            messagesTool_ = action;
        if (tool->icon == ToolId::StartComms)
            startTool_ = action;
    }
    // The channel animation sits at the toolbar's right end.
    auto *spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);
    animation_ = new QLabel;
    animation_->setObjectName(QStringLiteral("Picture2"));
    animation_->setFixedSize(AnimationSize());
    animation_->setPixmap(AnimationFrame(screen_->AnimationFrame(), devicePixelRatioF()));
    bar->addWidget(animation_);
    auto *edge = new QWidget;
    edge->setFixedWidth(PxX(200));
    bar->addWidget(edge);
}

QList<int> ParcelWin::SelectedRows() const
{
    std::set<int> rows;
    for (const QItemSelectionRange &range : queueView_->selectionModel()->selection())
        for (int r = range.top(); r <= range.bottom(); ++r)
            rows.insert(r);
    return QList<int>(rows.begin(), rows.end());
}

void ParcelWin::EnableSelected()
{
    NoteBusyRowsSkipped();
    engine_.EnableSelectedItems(SelectedRows());
}

void ParcelWin::HoldSelected()
{
    NoteBusyRowsSkipped();
    engine_.HoldSelectedItems(SelectedRows());
}

void ParcelWin::DeleteSelected()
{
    const QList<int> rows = SelectedRows();
    // Several rows go only when the person says so; rows being sent stay whatever the answer.
    if (rows.size() > 1) {
        int busy = 0;
        for (const int row : rows)
            busy += ReadRowStatus(engine_.Queue().field(row, QueueItem::Status)) == RowStatus::Busy ? 1 : 0;
        QString question = QStringLiteral("Delete %1 queue rows?").arg(rows.size());
        if (busy == 1)
            question += QStringLiteral("\n\n1 of them is being sent and stays in the queue.");
        else if (busy > 1)
            question += QStringLiteral("\n\n%1 of them are being sent and stay in the queue.").arg(busy);
        if (!engine_.Prompt().Ask(question, QStringLiteral("Delete"), QStringLiteral("Cancel"), false))
            return;
    }
    NoteBusyRowsSkipped();
    engine_.DeleteSelectedItems(rows);
}

void ParcelWin::SetSelectedPriority(int priority)
{
    NoteBusyRowsSkipped();
    engine_.SetSelectedPriority(SelectedRows(), priority);
}

void ParcelWin::NoteBusyRowsSkipped()
{
    int busy = 0;
    for (const int row : SelectedRows())
        busy += ReadRowStatus(engine_.Queue().field(row, QueueItem::Status)) == RowStatus::Busy ? 1 : 0;
    if (busy > 0)
        statusBar()->showMessage(busy == 1 ? QStringLiteral("1 row is being sent and was left as it is")
                                           : QStringLiteral("%1 rows are being sent and were left as they are").arg(busy),
                                 6000);
}

void ParcelWin::ShowRowMenu(const QPoint &position)
{
    QMenu menu(this);
    for (const char *name : {"mnuEnable", "mnuHold", "", "mnuDelete", "", "mnuPriority1", "mnuPriority2",
                             "mnuPriority3", "", "mnuLoad"}) {
        if (*name == '\0')
            menu.addSeparator();
        else if (QAction *action = menuAction(QLatin1String(name)))
            menu.addAction(action);
    }
    menu.exec(queueView_->viewport()->mapToGlobal(position));
}

int ParcelWin::RunningTransfers() const
{
    int running = 0;
    for (const ReceiveChannel &rc : engine_.Receivers())
        running += rc.Letter == ReceiveLetter::Connected && rc.FileOpen() ? 1 : 0;
    for (const SendChannel &sc : engine_.Senders())
        running += sc.Letter == SendLetter::Busy || sc.Letter == SendLetter::Waiting ? 1 : 0;
    return running;
}

void ParcelWin::QuitFromWindow()
{
    // Only the window's own quit commands ask; signals and a headless run shut down at once.
    if (engine_.ShuttingDown)
        return;
    if (const int running = RunningTransfers(); running > 0) {
        const QString text =
            QStringLiteral("%1 transfer%2 running. Sends resume at the next start; files being received "
                           "resume when their senders retry. Quit now?")
                .arg(running)
                .arg(running == 1 ? QStringLiteral(" is") : QStringLiteral("s are"));
        if (!engine_.Prompt().Ask(text, QStringLiteral("Quit"), QStringLiteral("Cancel"), true))
            return;
    }
    engine_.BeginShutdown();
}

void ParcelWin::ShowCommsState()
{
    const bool started = engine_.CommsStarted();
    if (QAction *start = menuAction(QStringLiteral("mnuStart")))
        start->setEnabled(!started);
    if (startTool_) {
        startTool_->setEnabled(!started);
        startTool_->setToolTip(started ? QStringLiteral("Start the Comms (started)") : QStringLiteral("Start the Comms"));
    }
}

void ParcelWin::MarkNewMessages(bool fresh)
{
    newMessages_ = fresh;
    if (!messagesTool_)
        return;
    messagesTool_->setIcon(fresh ? BadgedIcon(ToolIcon(ToolId::Messages)) : ToolIcon(ToolId::Messages));
    messagesTool_->setText(fresh ? QStringLiteral("View Incoming Messages (new)") : QStringLiteral("View Incoming Messages"));
}

void ParcelWin::ShowPreferences()
{
    PrefWin dialog(engine_, this);
    dialog.exec();
}

void ParcelWin::ShowUsers()
{
    UserWin dialog(engine_, this);
    dialog.exec();
    // The empty queue's hint says what is missing, users included.
    queueView_->viewport()->update();
}

void ParcelWin::ShowQueueLoader(const QList<QByteArray> &files)
{
    // Files handed over while a loader is open join that loader rather than stacking another.
    if (openLoader_) {
        for (const QByteArray &file : files)
            openLoader_->AddPendingFile(file);
        openLoader_->raise();
        openLoader_->activateWindow();
        return;
    }
    if (engine_.Users.isEmpty()) {
        if (engine_.Prompt().Ask(QStringLiteral("No Users Defined\n\nOpen the users window to add one?"),
                                 QStringLiteral("Add a User"), QStringLiteral("Not Now"), true))
            ShowUsers();
        if (engine_.Users.isEmpty())
            return;
    }
    QLoadWin dialog(engine_, this);
    openLoader_ = &dialog;
    for (const QByteArray &file : files)
        dialog.AddPendingFile(file);
    dialog.exec();
    openLoader_ = nullptr;
}

void ParcelWin::ShowMessageViewer()
{
    MarkNewMessages(false);
    NewMessageWin dialog(engine_.Log().ReceivedMessages(), this);
    dialog.exec();
}

void ParcelWin::ShowLogViewer()
{
    NewLogWin dialog(engine_.Log().ScreenText(), this);
    dialog.exec();
}

void ParcelWin::ShowHelp()
{
    HelpWin dialog(engine_.Paths().ProgramFolder, this, QCoreApplication::applicationDirPath());
    dialog.exec();
}

void ParcelWin::ShowAbout()
{
    AboutWin dialog(DisplayText(engine_.VersionText), this, QString::fromLatin1(engine_.Trust().OwnFingerprint()));
    connect(&dialog, &AboutWin::codeWordTyped, this, [this] { screen_->RaisePictureFlag(); });
    dialog.exec();
}

void ParcelWin::CopySelection()
{
    QWidget *focused = QApplication::focusWidget();
    if (!focused || focused->window() != this)
        focused = focusWidget();
    QString text;
    if (auto *line = qobject_cast<QLineEdit *>(focused)) {
        text = line->selectedText();
    } else if (auto *plain = qobject_cast<QPlainTextEdit *>(focused)) {
        text = plain->textCursor().selectedText();
    } else if (auto *rich = qobject_cast<QTextEdit *>(focused)) {
        text = rich->textCursor().selectedText();
    } else {
        return;
    }
    // A selection spanning lines carries paragraph separators; the clipboard wants line feeds.
    text.replace(QChar::ParagraphSeparator, u'\n');
    text.replace(QChar::LineSeparator, u'\n');
    QClipboard *clipboard = QApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

namespace {
// A file manager is set up to open folders: the desktop names a default program for them.
bool FileManagerKnown()
{
    const QString query = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (query.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty())
        return false;
    QProcess process;
    process.start(query, {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("inode/directory")});
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    return process.exitCode() == 0 && !process.readAllStandardOutput().trimmed().isEmpty();
}
} // namespace

void ParcelWin::OpenDownloadsFolder()
{
    const QString folder = engine_.Paths().DownloadsFolder;
    const QUrl url = QUrl::fromLocalFile(folder);
    const bool opened = openFolder_ ? openFolder_(url) : FileManagerKnown() && QDesktopServices::openUrl(url);
    if (!opened)
        engine_.Prompt().Message(QStringLiteral("No file manager could be opened. The downloads folder is:\n") + folder);
}

void ParcelWin::OpenWebAddress()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(WebAddress)));
}
