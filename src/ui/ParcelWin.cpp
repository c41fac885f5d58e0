// The main window: queue list, channel frames, channel status, live log, menus, toolbar and
// status bar, all rendered from the engine and all commands handed to it.
#include "ui/ParcelWin.h"

#include "core/UserPrompt.h"
#include "transfer/Engine.h"
#include "ui/DisplayText.h"
#include "ui/Icons.h"
#include "ui/PrefWin.h"
#include "ui/QLoadWin.h"
#include "ui/UserWin.h"
#include "ui/Viewers.h"
#include "ui/Widgets.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <set>

namespace {

// The queue as the list shows it: the engine's model with the row images drawn, and a row being
// sent showing how far its channel has got (on screen only; the stored status stays "Busy").
class QueueViewModel : public QIdentityProxyModel {
public:
    QueueViewModel(const Engine &engine, QObject *parent) : QIdentityProxyModel(parent), engine_(engine) {}

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::DisplayRole && index.column() == QueueItem::StatusText) {
            const QueueItem &item = engine_.Queue().item(index.row());
            bool ok = false;
            const int channel = item.channel().toInt(&ok);
            if (item.status() == "B" && ok && channel >= 0 && channel < 4 &&
                engine_.Senders()[static_cast<size_t>(channel)].Letter == SendLetter::Busy)
                return DisplayText(item.statusText()) +
                       QStringLiteral(" %1%").arg(engine_.Senders()[static_cast<size_t>(channel)].PercentDone);
        }
        if (role == Qt::DecorationRole && index.column() == 0)
            return QueueRowIcon(QIdentityProxyModel::data(index, QueueModel::ImageRole).toInt());
        if (role == Qt::ToolTipRole && index.column() == QueueItem::FileName)
            return DisplayText(
                sourceModel()->index(index.row(), QueueItem::FilePath).data(QueueModel::FieldRole).toByteArray());
        if (role == Qt::DisplayRole && index.column() >= 1 && index.column() <= QueueItem::FieldCount)
            return DisplayText(QIdentityProxyModel::data(index, QueueModel::FieldRole).toByteArray());
        return QIdentityProxyModel::data(index, role);
    }

    // The percent moves with every piece; the rows being sent are redrawn on each refresh.
    void RefreshBusyRows()
    {
        for (int row = 0; row < rowCount(); ++row)
            if (engine_.Queue().item(row).status() == "B")
                emit dataChanged(index(row, QueueItem::StatusText), index(row, QueueItem::StatusText));
    }

private:
    const Engine &engine_;
};

// Visible queue columns and their design widths in twips; every other column is hidden.
constexpr std::pair<int, int> VisibleColumns[] = {{0, 617}, {3, 2646}, {5, 5468}, {7, 529}, {10, 706}, {12, 5080}};
constexpr int StatusTextColumn = 12;

QFrame *HorizontalLine(const char *name)
{
    auto *line = new QFrame;
    line->setObjectName(QLatin1String(name));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

} // namespace

ParcelWin::ParcelWin(Engine &engine, QWidget *parent) : QMainWindow(parent), engine_(engine)
{
    setWindowTitle(QStringLiteral("Parcelwise"));
    setObjectName(QStringLiteral("ParcelWin"));

    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("Background"));
    central->setMouseTracking(true);
    central->installEventFilter(this);
    setCentralWidget(central);

    const int margin = PxX(200);
    auto *outer = new QVBoxLayout(central);
    outer->setContentsMargins(0, 0, 0, PxY(60));
    outer->setSpacing(PxY(60));
    outer->addWidget(HorizontalLine("Line1"));

    // Channel frames left and right, the logo and the own address between them.
    auto *top = new QHBoxLayout;
    top->setContentsMargins(margin, 0, margin, 0);
    top->addWidget(BuildChannelFrame(QStringLiteral("Incoming"), true));
    top->addStretch(1);
    auto *middle = new QVBoxLayout;
    logo_ = new PictureLabel;
    logo_->setObjectName(QStringLiteral("Picture1"));
    logo_->setCursor(Qt::PointingHandCursor);
    logo_->setToolTip(QString::fromLatin1(WebAddress));
    logo_->setFixedSize(LogoSize());
    logo_->setPixmap(LogoPixmap(engine_.ActivityImage(), devicePixelRatioF()));
    connect(logo_, &PictureLabel::clicked, this, &ParcelWin::OpenWebAddress);
    ownAddress_ = new QLabel;
    ownAddress_->setObjectName(QStringLiteral("Statictext1"));
    ownAddress_->setAlignment(Qt::AlignCenter);
    ownAddress_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ownAddress_->setToolTip(QStringLiteral("This computer's address"));
    middle->addStretch(1);
    middle->addWidget(logo_, 0, Qt::AlignHCenter);
    middle->addWidget(ownAddress_, 0, Qt::AlignHCenter);
    middle->addStretch(1);
    top->addLayout(middle);
    top->addStretch(1);
    top->addWidget(BuildChannelFrame(QStringLiteral("Outgoing"), false));
    outer->addLayout(top);
    outer->addWidget(HorizontalLine("Line2"));

    auto *body = new QVBoxLayout;
    body->setContentsMargins(margin, 0, margin, 0);
    body->setSpacing(PxY(105));
    queueView_ = new QTreeView;
    queueView_->setObjectName(QStringLiteral("ListBox1"));
    auto *viewModel = new QueueViewModel(engine_, this);
    viewModel->setSourceModel(&engine_.Queue());
    queueView_->setModel(viewModel);
    // Rows added at the bottom are scrolled into view.
    connect(viewModel, &QAbstractItemModel::rowsInserted, queueView_,
            [this, viewModel](const QModelIndex &, int, int last) { queueView_->scrollTo(viewModel->index(last, 0)); });
    SetUpRowList(queueView_, QAbstractItemView::ExtendedSelection);
    queueView_->setItemsExpandable(false);
    queueView_->setTextElideMode(Qt::ElideRight);
    queueView_->header()->setStretchLastSection(false);
    queueView_->header()->setSectionsMovable(false);
    queueView_->setMinimumHeight(PxY(900));
    for (int c = 0; c < QueueModel::ColumnCount; ++c)
        queueView_->setColumnHidden(c, true);
    for (const auto &[column, twips] : VisibleColumns) {
        queueView_->setColumnHidden(column, false);
        queueView_->setColumnWidth(column, PxX(twips));
    }
    queueView_->installEventFilter(this);
    body->addWidget(queueView_, 1);
    body->addWidget(BuildStatusFrame());

    log_ = new QPlainTextEdit;
    log_->setObjectName(QStringLiteral("Editfield1"));
    log_->setReadOnly(true);
    log_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    log_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    log_->setFixedHeight(std::max(PxY(1300), log_->fontMetrics().lineSpacing() * 6 + 2 * log_->frameWidth() + 8));
    body->addWidget(log_);
    outer->addLayout(body, 1);

    BuildMenus();
    BuildToolbar();
    BuildStatusBar();
    ConnectEngine();

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(AppIcon(), this);
        tray_->setToolTip(QStringLiteral("Parcelwise"));
        tray_->show();
    }
    // The percent of a running transfer moves with every piece; the engine's status text only
    // at its periodic refresh, so the bar reads the channel itself.
    progressTimer_ = new QTimer(this);
    progressTimer_->setInterval(500);
    connect(progressTimer_, &QTimer::timeout, this, &ParcelWin::UpdateProgressBar);
    connect(progressTimer_, &QTimer::timeout, viewModel, &QueueViewModel::RefreshBusyRows);
    progressTimer_->start();

    // The design minimum, or more where this screen's fonts make the channel frames and the logo
    // need more room; below that they would overlap.
    setMinimumSize(QSize(PxX(7735), PxY(7455)).expandedTo(minimumSizeHint()));
    QSize start(PxX(13200), PxY(9600));
    if (screen())
        start = start.boundedTo(screen()->availableGeometry().size() * 9 / 10);
    resize(start.expandedTo(minimumSize()));
}

int ParcelWin::PxX(int twips) const
{
    return TwipsToPixels(twips, logicalDpiX());
}

int ParcelWin::PxY(int twips) const
{
    return TwipsToPixels(twips, logicalDpiY());
}

QWidget *ParcelWin::BuildChannelFrame(const QString &title, bool incoming)
{
    auto *frame = new QGroupBox(title);
    frame->setObjectName(QLatin1String(incoming ? "Frame1" : "Frame2"));
    auto *grid = new QGridLayout(frame);
    grid->setHorizontalSpacing(PxX(90));
    grid->setVerticalSpacing(PxY(60));
    for (int i = 0; i < 4; ++i) {
        auto *pic = new QLabel;
        pic->setObjectName(QStringLiteral("%1Pic%2").arg(incoming ? "Inc" : "Out").arg(i));
        pic->setFixedSize(ChannelPictureSize, ChannelPictureSize);
        auto *button = new QPushButton(QStringLiteral("Channel %1").arg(i + 1));
        button->setObjectName(QStringLiteral("%1Com%2").arg(incoming ? "Inc" : "Out").arg(i));
        button->setToolTip(QStringLiteral("View Channel Status"));
        button->setAutoDefault(false);
        button->setFocusPolicy(Qt::TabFocus);
        const char direction = incoming ? 'I' : 'O';
        connect(button, &QPushButton::clicked, this, [this, direction, i] { engine_.ShowChannel(direction, i + 1); });
        const int row = i / 2;
        const int col = (i % 2) * 2;
        grid->addWidget(pic, row, col);
        grid->addWidget(button, row, col + 1);
        (incoming ? incPics_ : outPics_)[static_cast<size_t>(i)] = pic;
        (incoming ? incButtons_ : outButtons_)[static_cast<size_t>(i)] = button;
    }
    return frame;
}

QWidget *ParcelWin::BuildStatusFrame()
{
    auto *frame = new QGroupBox(QStringLiteral("Channel Status"));
    frame->setObjectName(QStringLiteral("Frame3"));
    auto *grid = new QGridLayout(frame);
    statusLine_ = new ElidedLabel;
    statusLine_->setObjectName(QStringLiteral("Statictext4"));
    progressLine_ = new ElidedLabel;
    progressLine_->setObjectName(QStringLiteral("Statictext6"));
    rate_ = new QLabel;
    rate_->setObjectName(QStringLiteral("Statictext5"));
    rate_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    rate_->setMinimumWidth(rate_->fontMetrics().horizontalAdvance(QStringLiteral("00000.000k/sec")));
    progressBar_ = new QProgressBar;
    progressBar_->setObjectName(QStringLiteral("ChannelProgress"));
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);
    progressBar_->setFixedWidth(PxX(2400));
    progressBar_->setMaximumHeight(progressLine_->fontMetrics().height() + 4);
    grid->addWidget(statusLine_, 0, 0);
    grid->addWidget(rate_, 0, 1);
    grid->addWidget(progressLine_, 1, 0);
    grid->addWidget(progressBar_, 1, 1);
    grid->setColumnStretch(0, 1);
    return frame;
}

void ParcelWin::BuildMenus()
{
    auto add = [this](QMenu *menu, const QString &caption, const char *name, auto slot) {
        QAction *action = menu->addAction(caption);
        action->setObjectName(QLatin1String(name));
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, QStringLiteral("E&xit"), "mnuExit", [this] { engine_.BeginShutdown(); });

    QMenu *edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    add(edit, QStringLiteral("&Copy"), "mnuCopy", [this] { CopySelection(); })->setShortcut(QKeySequence::Copy);
    edit->addSeparator();
    add(edit, QStringLiteral("Preferences..."), "mnuPrefs", [this] { ShowPreferences(); });
    add(edit, QStringLiteral("Users..."), "mnuUsers", [this] { ShowUsers(); });

    QMenu *queue = menuBar()->addMenu(QStringLiteral("&Queue"));
    add(queue, QStringLiteral("Enable"), "mnuEnable", [this] { EnableSelected(); });
    add(queue, QStringLiteral("Hold"), "mnuHold", [this] { HoldSelected(); });
    queue->addSeparator();
    add(queue, QStringLiteral("Delete"), "mnuDelete", [this] { DeleteSelected(); });
    queue->addSeparator();
    add(queue, QStringLiteral("Set Priority 1"), "mnuPriority1", [this] { SetSelectedPriority(1); });
    add(queue, QStringLiteral("Set Priority 2"), "mnuPriority2", [this] { SetSelectedPriority(2); });
    add(queue, QStringLiteral("Set Priority 3"), "mnuPriority3", [this] { SetSelectedPriority(3); });
    queue->addSeparator();
    add(queue, QStringLiteral("Load Files..."), "mnuLoad", [this] { ShowQueueLoader(); });

    QMenu *comms = menuBar()->addMenu(QStringLiteral("&Communications"));
    add(comms, QStringLiteral("Start Communications"), "mnuStart", [this] { engine_.StartChannels(); });

    QMenu *view = menuBar()->addMenu(QStringLiteral("&View"));
    add(view, QStringLiteral("Messages..."), "mnuMessages", [this] { ShowMessageViewer(); });
    add(view, QStringLiteral("Logs..."), "mnuLogs", [this] { ShowLogViewer(); });
    view->addSeparator();
    add(view, QStringLiteral("Open Downloads Folder"), "mnuDownloads", [this] { OpenDownloadsFolder(); });

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    add(help, QStringLiteral("Program Help..."), "mnuHelp", [this] { ShowHelp(); });
    help->addSeparator();
    add(help, QStringLiteral("About Parcelwise..."), "mnuAbout", [this] { ShowAbout(); });
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
        {21, ToolId::Quit, "Shut down and Quit", [this] { engine_.BeginShutdown(); }},
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
    }
    // The channel animation sits at the toolbar's right end.
    auto *spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);
    animation_ = new QLabel;
    animation_->setObjectName(QStringLiteral("Picture2"));
    animation_->setFixedSize(AnimationSize());
    animation_->setPixmap(AnimationFrame(engine_.AnimationFrame(), devicePixelRatioF()));
    bar->addWidget(animation_);
    auto *edge = new QWidget;
    edge->setFixedWidth(PxX(200));
    bar->addWidget(edge);
}

void ParcelWin::BuildStatusBar()
{
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(true);
    for (size_t p = 0; p < panels_.size(); ++p) {
        panels_[p] = new ElidedLabel;
        panels_[p]->setObjectName(QStringLiteral("Panel%1").arg(p + 1));
        panels_[p]->setFrameShape(QFrame::StyledPanel);
        panels_[p]->setFrameShadow(QFrame::Sunken);
    }
    bar->addWidget(panels_[0], 1);
    bar->addWidget(panels_[1], 0);
    panels_[2]->setMinimumWidth(panels_[2]->fontMetrics().horizontalAdvance(QStringLiteral("  Version 00.00")) + 8);
    bar->addPermanentWidget(panels_[2], 0);
}

void ParcelWin::ConnectEngine()
{
    QByteArray screen = engine_.Log().ScreenText();
    while (screen.endsWith('\n') || screen.endsWith('\r'))
        screen.chop(1);
    log_->setPlainText(DisplayText(screen));
    log_->moveCursor(QTextCursor::End);
    connect(&engine_.Log(), &TransferLog::LineAdded, this, [this](const QByteArray &line, bool cleared) {
        if (cleared)
            log_->clear();
        log_->appendPlainText(DisplayText(line));
    });

    for (int p = 1; p <= 3; ++p)
        panels_[static_cast<size_t>(p - 1)]->setFullText(DisplayText(engine_.StatusPanel(p)));
    connect(&engine_, &Engine::StatusPanelChanged, this, [this](int panel, const QByteArray &text) {
        if (panel >= 1 && panel <= 3)
            panels_[static_cast<size_t>(panel - 1)]->setFullText(DisplayText(text));
    });

    ownAddress_->setText(DisplayText(engine_.OwnAddress()));
    connect(&engine_, &Engine::OwnAddressChanged, this,
            [this](const QByteArray &address) { ownAddress_->setText(DisplayText(address)); });

    for (int i = 0; i < 4; ++i) {
        ShowChannelPicture(true, i);
        ShowChannelPicture(false, i);
    }
    connect(&engine_, &Engine::ReceiveChannelChanged, this, [this](int i) { ShowChannelPicture(true, i); });
    connect(&engine_, &Engine::SendChannelChanged, this, [this](int i) {
        ShowChannelPicture(false, i);
        UpdateProgressBar();
    });

    ShowChannelStatus();
    connect(&engine_, &Engine::ChannelStatusChanged, this, &ParcelWin::ShowChannelStatus);
    connect(&engine_, &Engine::ActivityImageChanged, this,
            [this](int image) { logo_->setPixmap(LogoPixmap(image, devicePixelRatioF())); });
    connect(&engine_, &Engine::AnimationFrameChanged, this,
            [this](int frame) { animation_->setPixmap(AnimationFrame(frame, devicePixelRatioF())); });

    connect(&engine_, &Engine::FileReceived, this, [this](const QByteArray &login, const QByteArray &fileName) {
        Notify(QStringLiteral("Received %1 from %2").arg(DisplayText(fileName), DisplayText(login)));
    });
    connect(&engine_, &Engine::MessageReceived, this,
            [this](const QByteArray &login) { Notify(QStringLiteral("New message from %1").arg(DisplayText(login))); });
    connect(&engine_, &Engine::SendFailed, this,
            [this](const QByteArray &user, const QByteArray &fileName, const QByteArray &statusText) {
                Notify(QStringLiteral("Sending %1 to %2 failed: %3")
                           .arg(DisplayText(fileName), DisplayText(user), DisplayText(statusText)));
            });
}

void ParcelWin::ShowChannelPicture(bool incoming, int index)
{
    if (index < 0 || index > 3)
        return;
    const size_t i = static_cast<size_t>(index);
    const int picture = static_cast<int>(incoming ? engine_.Receivers()[i].Picture : engine_.Senders()[i].Picture);
    QLabel *label = incoming ? incPics_[i] : outPics_[i];
    label->setPixmap(ChannelPixmap(picture, ChannelPictureSize, devicePixelRatioF()));
    label->setProperty("picture", picture);
}

void ParcelWin::ShowChannelStatus()
{
    statusLine_->setFullText(DisplayText(engine_.StatusLine()));
    progressLine_->setFullText(DisplayText(engine_.ProgressLine()));
    rate_->setText(DisplayText(engine_.RateText()));
    UpdateProgressBar();
}

void ParcelWin::UpdateProgressBar()
{
    const size_t i = static_cast<size_t>(std::clamp(engine_.ShownChannel(), 1, 4) - 1);
    int percent = -1;
    if (engine_.ShownDirection() == 'I') {
        const ReceiveChannel &rc = engine_.Receivers()[i];
        if (rc.Letter == ReceiveLetter::Connected && rc.FileOpen)
            percent = rc.Percent;
    } else {
        const SendChannel &sc = engine_.Senders()[i];
        if (sc.Letter == SendLetter::Busy)
            percent = sc.PercentDone;
    }
    progressBar_->setEnabled(percent >= 0);
    progressBar_->setTextVisible(percent >= 0);
    progressBar_->setValue(std::clamp(percent, 0, 100));
}

void ParcelWin::Notify(const QString &text)
{
    lastNotice_ = text;
    if (tray_ && QSystemTrayIcon::isSystemTrayAvailable())
        tray_->showMessage(QStringLiteral("Parcelwise"), text, QSystemTrayIcon::Information, 6000);
}

// ---- commands ----

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
    engine_.EnableSelectedItems(SelectedRows());
}

void ParcelWin::HoldSelected()
{
    engine_.HoldSelectedItems(SelectedRows());
}

void ParcelWin::DeleteSelected()
{
    engine_.DeleteSelectedItems(SelectedRows());
}

void ParcelWin::SetSelectedPriority(int priority)
{
    engine_.SetSelectedPriority(SelectedRows(), priority);
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
}

void ParcelWin::ShowQueueLoader()
{
    if (engine_.Users.isEmpty()) {
        engine_.Prompt().Message(QStringLiteral("No Users Defined"));
        return;
    }
    QLoadWin dialog(engine_, this);
    dialog.exec();
}

void ParcelWin::ShowMessageViewer()
{
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
    HelpWin dialog(engine_.Paths().ProgramFolder, this);
    dialog.exec();
}

void ParcelWin::ShowAbout()
{
    AboutWin dialog(DisplayText(engine_.VersionText), this);
    connect(&dialog, &AboutWin::codeWordTyped, this, [this] { engine_.PicFlag = true; });
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

void ParcelWin::OpenDownloadsFolder()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(engine_.Paths().DownloadsFolder));
}

void ParcelWin::OpenWebAddress()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(WebAddress)));
}

// ---- events ----

void ParcelWin::closeEvent(QCloseEvent *event)
{
    if (engine_.MayUnload) {
        event->accept();
        return;
    }
    event->ignore();
    engine_.BeginShutdown();
}

void ParcelWin::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    ApplyLayoutRule();
}

void ParcelWin::ApplyLayoutRule()
{
    if (isMinimized())
        return;
    // The rule works on the outer width; the frame is what the window manager adds around us.
    const int outerWidth = std::max(frameGeometry().width(), width());
    queueView_->setColumnWidth(StatusTextColumn, std::max(PxX(600), outerWidth - PxX(5250)));
    panels_[1]->setMinimumWidth(std::max(0, outerWidth - PxX(5565)));
}

bool ParcelWin::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == centralWidget() && event->type() == QEvent::MouseMove) {
        engine_.ClearStatusPanel(1);
    } else if (watched == queueView_ && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        // The Delete key of the number pad counts too.
        if (key->key() == Qt::Key_Delete && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            DeleteSelected();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
