// The main window: queue list, channel frames, channel status, live log, menus, toolbar and
// status bar, all rendered from the engine and all commands handed to it.
#include "ui/ParcelWin.h"

#include "core/UserPrompt.h"
#include "transfer/Engine.h"
#include "transfer/OutcomeWords.h"
#include "ui/DisplayText.h"
#include "ui/Icons.h"
#include "ui/PrefWin.h"
#include "ui/QLoadWin.h"
#include "ui/ScreenState.h"
#include "ui/UserWin.h"
#include "ui/Viewers.h"
#include "ui/Widgets.h"

#include <QCoreApplication>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QNetworkInterface>
#include <QPainter>
#include <QSplitter>
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
#include <QProcess>
#include <QStandardPaths>
#include <QWindow>
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

// A row's tool tip: paths and messages cut at this many characters, lines wrapped at this many.
constexpr int TipTextLimit = 500;
constexpr int TipLineLength = 80;

// The queue as the list shows it: the engine's model with the row images drawn, and a row being
// sent showing how far its channel has got (on screen only; the stored status stays "Busy").
class QueueViewModel : public QIdentityProxyModel {
public:
    QueueViewModel(const Engine &engine, QObject *parent) : QIdentityProxyModel(parent), engine_(engine) {}

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::DisplayRole && index.column() == QueueItem::StatusText) {
            const QueueModel &queue = engine_.Queue();
            const int row = index.row();
            const int channel = engine_.SenderOfRow(queue.RowId(row));
            if (channel >= 0 && engine_.Senders()[static_cast<size_t>(channel)].Letter == SendLetter::Busy)
                return DisplayText(queue.field(row, QueueItem::StatusText)) +
                       QStringLiteral(" %1%").arg(engine_.Senders()[static_cast<size_t>(channel)].PercentDone);
        }
        if (role == Qt::DecorationRole && index.column() == 0)
            return QueueRowIcon(QIdentityProxyModel::data(index, QueueModel::ImageRole).toInt());
        if (role == Qt::ToolTipRole)
            return RowToolTip(engine_.Queue().item(index.row()));
        if (role == Qt::DisplayRole && index.column() >= 1 && index.column() <= QueueItem::FieldCount)
            return DisplayText(QIdentityProxyModel::data(index, QueueModel::FieldRole).toByteArray());
        return QIdentityProxyModel::data(index, role);
    }

    // The columns carry no captions; their tool tips say what they hold.
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::ToolTipRole) {
            switch (section) {
            case 0: return QStringLiteral("State");
            case QueueItem::UserName: return QStringLiteral("Send to");
            case QueueItem::FileName: return QStringLiteral("File");
            case QueueItem::Priority: return QStringLiteral("Priority");
            case QueueItem::Tries: return QStringLiteral("Tries");
            case QueueItem::StatusText: return QStringLiteral("Status");
            default: break;
            }
        }
        return QIdentityProxyModel::headerData(section, orientation, role);
    }

    // A row's tool tip: the file's path and size, what its status means (with where the last
    // attempt went and when the next comes), and the message sent with it, cut at 500
    // characters; every line wrapped so that the tip stays narrower than a screen.
    QString RowToolTip(const QueueItem &item) const
    {
        const QFileInfo info(QString::fromLocal8Bit(item.filePath()));
        QStringList lines{CutText(DisplayText(item.filePath()), TipTextLimit)};
        lines << (info.exists() ? QStringLiteral("%1 bytes").arg(QLocale().toString(info.size()))
                                : QStringLiteral("(file not found)"));
        const QByteArray words = RowStatusWords(item, engine_.LastAttempt(item.userName(), item.filePath()),
                                                engine_.ClockRef().nowSerial());
        if (!words.isEmpty())
            lines << DisplayText(item.statusText()) + QStringLiteral(": ") + DisplayText(words);
        if (!item.message().isEmpty())
            lines << QStringLiteral("Message: ") + CutText(DisplayText(item.message()), TipTextLimit);
        return WrapLines(lines.join(u'\n'), TipLineLength);
    }

    // The percent of a row being sent moves as its channel reports progress. The queue keeps
    // its busy rows at hand, so this costs nothing however long the queue.
    void RefreshBusyRows()
    {
        for (int row : engine_.Queue().BusyRows())
            emit dataChanged(index(row, QueueItem::StatusText), index(row, QueueItem::StatusText));
    }

private:
    const Engine &engine_;
};

// What a channel picture stands for, for its tool tip.
QString ChannelPictureName(ChannelPicture picture)
{
    switch (picture) {
    case ChannelPicture::Idle: return QStringLiteral("idle");
    case ChannelPicture::Active: return QStringLiteral("working");
    case ChannelPicture::Disabled: return QStringLiteral("not in use");
    case ChannelPicture::Stopped: return QStringLiteral("stopped");
    case ChannelPicture::Listening: return QStringLiteral("listening");
    }
    return QString();
}

// The queue list; while the queue is empty it says what is missing to fill it (a user, then
// files), and files dropped on it go to the queue loader.
class QueueListView : public QTreeView {
public:
    explicit QueueListView(const Engine &engine) : engine_(engine) {}

    QString EmptyHint() const
    {
        return engine_.Users.isEmpty()
                   ? QStringLiteral("Add a user (Edit > Users), then add files (Queue > Load Files) or drop them here")
                   : QStringLiteral("Add files (Queue > Load Files) or drop them here");
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QTreeView::paintEvent(event);
        if (model() && model()->rowCount() > 0)
            return;
        QPainter painter(viewport());
        painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
        painter.drawText(viewport()->rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap, EmptyHint());
    }

private:
    const Engine &engine_;
};

// Visible queue columns and their design widths in twips; every other column is hidden.
constexpr std::pair<int, int> VisibleColumns[] = {{0, 617}, {3, 2646}, {5, 5468}, {7, 529}, {10, 706}, {12, 5080}};

// The progress bar and the percent of the rows being sent repaint at most this often.
constexpr int ProgressRepaintMs = 250;

QFrame *HorizontalLine(const char *name)
{
    auto *line = new QFrame;
    line->setObjectName(QLatin1String(name));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

} // namespace

ParcelWin::ParcelWin(Engine &engine, QWidget *parent)
    : QMainWindow(parent), engine_(engine), screen_(new ScreenState(engine, this))
{
    // Which installation this is: its folder's name follows the program's.
    setWindowTitle(FolderTitle(QStringLiteral("Parcelwise"), engine_.Paths().ProgramFolder));
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
    logo_->setPixmap(LogoPixmap(screen_->ActivityImage(), devicePixelRatioF()));
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
    queueView_ = new QueueListView(engine_);
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
    queueView_->header()->setSectionResizeMode(QHeaderView::Fixed);
    // The columns are fitted to the list's width on every resize (ApplyLayoutRule).
    queueView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    queueView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(queueView_, &QWidget::customContextMenuRequested, this, &ParcelWin::ShowRowMenu);
    queueView_->setMinimumHeight(PxY(900));
    for (int c = 0; c < QueueModel::ColumnCount; ++c)
        queueView_->setColumnHidden(c, true);
    for (const auto &[column, twips] : VisibleColumns) {
        queueView_->setColumnHidden(column, false);
        queueView_->setColumnWidth(column, PxX(twips));
    }
    queueView_->installEventFilter(this);
    queueView_->viewport()->installEventFilter(this);
    queueView_->viewport()->setAcceptDrops(true);
    queueView_->setAcceptDrops(true);
    queueView_->setDropIndicatorShown(false);
    // Queue, channel status and log share the height; the queue takes what is left and the
    // person can move the handles.
    auto *splitter = new QSplitter(Qt::Vertical);
    splitter->setObjectName(QStringLiteral("BodySplitter"));
    splitter->setChildrenCollapsible(false);
    auto *queueAndStatus = new QWidget;
    auto *queueAndStatusLayout = new QVBoxLayout(queueAndStatus);
    queueAndStatusLayout->setContentsMargins(0, 0, 0, 0);
    queueAndStatusLayout->setSpacing(PxY(105));
    queueAndStatusLayout->addWidget(queueView_, 1);
    queueAndStatusLayout->addWidget(BuildStatusFrame());
    splitter->addWidget(queueAndStatus);

    log_ = new QPlainTextEdit;
    log_->setObjectName(QStringLiteral("Editfield1"));
    log_->setReadOnly(true);
    log_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    log_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    log_->setMinimumHeight(log_->fontMetrics().lineSpacing() * 3 + 2 * log_->frameWidth() + 8);
    splitter->addWidget(log_);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    splitter->setSizes({PxY(4000), std::max(PxY(1300), log_->fontMetrics().lineSpacing() * 6 + 2 * log_->frameWidth() + 8)});
    body->addWidget(splitter, 1);
    outer->addLayout(body, 1);
    setAcceptDrops(true);

    BuildMenus();
    BuildToolbar();
    BuildStatusBar();
    ConnectEngine();

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(AppIcon(), this);
        tray_->setToolTip(QStringLiteral("Parcelwise"));
        tray_->show();
    }
    // The progress line follows every change of a channel's percent (the engine refreshes it);
    // the bar, whose repaint is costly, and the percent of the rows being sent follow at most a
    // few times a second, always ending on the latest state.
    progressPace_ = new PaceLimiter(ProgressRepaintMs, [this, viewModel] {
        UpdateProgressBar();
        viewModel->RefreshBusyRows();
    }, this);
    connect(&engine_, &Engine::ProgressChanged, progressPace_, &PaceLimiter::Request);

    // The design minimum, or more where this screen's fonts make the channel frames and the logo
    // need more room (below that they would overlap), or less where the screen is smaller.
    FitMinimumToScreen();
    QSize start(PxX(13200), PxY(9600));
    if (screen())
        start = start.boundedTo(screen()->availableGeometry().size() * 9 / 10);
    resize(start.expandedTo(minimumSize()));
}

void ParcelWin::SetProgressRepaintInterval(int ms)
{
    progressPace_->SetInterval(ms);
}

void ParcelWin::FitMinimumToScreen()
{
    const QSize available = screen() ? screen()->availableGeometry().size() : QSize();
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const QSize minimum = MinimumWindowSize(QSize(PxX(7735), PxY(7455)), minimumSizeHint(), available, frame);
    if (minimum == minimumSize())
        return;
    setMinimumSize(minimum);
    // A window that the old minimum held larger than the screen now fits it.
    if (isVisible() && screen() && !screen()->availableGeometry().contains(frameGeometry()))
        FitOnScreen(this);
}

void ParcelWin::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    FitMinimumToScreen();
    // The window manager's frame is known once the window is on screen.
    QTimer::singleShot(0, this, [this] {
        FitMinimumToScreen();
        FitOnScreen(this);
    });
    if (windowHandle() && !property("screenWatched").toBool()) {
        setProperty("screenWatched", true);
        connect(windowHandle(), &QWindow::screenChanged, this, [this] {
            FitMinimumToScreen();
            FitOnScreen(this);
        });
    }
}

void ParcelWin::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    // A frame added or changed by the window manager shows as a move.
    FitMinimumToScreen();
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
    for (int i = 0; i < ChannelCount; ++i) {
        auto *pic = new QLabel;
        pic->setObjectName(QStringLiteral("%1Pic%2").arg(incoming ? "Inc" : "Out").arg(i));
        pic->setFixedSize(ChannelPictureSize, ChannelPictureSize);
        auto *button = new QPushButton(QStringLiteral("Channel %1").arg(i + 1));
        button->setObjectName(QStringLiteral("%1Com%2").arg(incoming ? "Inc" : "Out").arg(i));
        button->setToolTip(QStringLiteral("View Channel Status"));
        button->setAutoDefault(false);
        button->setFocusPolicy(Qt::TabFocus);
        const char direction = incoming ? 'I' : 'O';
        connect(button, &QPushButton::clicked, this, [this, direction, i] { screen_->ShowChannel(direction, i + 1); });
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
        panels_[static_cast<size_t>(p - 1)]->setFullText(DisplayText(screen_->StatusPanel(p)));
    connect(screen_, &ScreenState::StatusPanelChanged, this, [this](int panel, const QByteArray &text) {
        if (panel >= 1 && panel <= 3)
            panels_[static_cast<size_t>(panel - 1)]->setFullText(DisplayText(text));
    });

    ShowOwnAddress();
    connect(&engine_, &Engine::OwnAddressChanged, this, &ParcelWin::ShowOwnAddress);
    connect(&engine_, &Engine::RouterMappingChanged, this, &ParcelWin::ShowOwnAddress);
    // The port shows while it is listened on: a receive channel's change may be its start or end.
    connect(&engine_, &Engine::ReceiveChannelChanged, this, &ParcelWin::ShowOwnAddress);
    ShowCommsState();
    connect(&engine_, &Engine::CommunicationsStarted, this, &ParcelWin::ShowCommsState);

    for (int i = 0; i < ChannelCount; ++i) {
        ShowChannelPicture(true, i);
        ShowChannelPicture(false, i);
    }
    connect(&engine_, &Engine::ReceiveChannelChanged, this, [this](int i) { ShowChannelPicture(true, i); });
    connect(&engine_, &Engine::SendChannelChanged, this, [this](int i) {
        ShowChannelPicture(false, i);
        UpdateProgressBar();
    });

    ShowChannelStatus();
    connect(screen_, &ScreenState::ChannelStatusChanged, this, &ParcelWin::ShowChannelStatus);
    connect(screen_, &ScreenState::ActivityImageChanged, this,
            [this](int image) { logo_->setPixmap(LogoPixmap(image, devicePixelRatioF())); });
    connect(screen_, &ScreenState::AnimationFrameChanged, this,
            [this](int frame) { animation_->setPixmap(AnimationFrame(frame, devicePixelRatioF())); });

    connect(&engine_, &Engine::FileReceived, this, [this](const QByteArray &login, const QByteArray &fileName) {
        Notify(QStringLiteral("Received %1 from %2").arg(DisplayText(fileName), DisplayText(login)));
    });
    connect(&engine_, &Engine::MessageReceived, this, [this](const QByteArray &login) {
        Notify(QStringLiteral("New message from %1").arg(DisplayText(login)));
        MarkNewMessages(true);
    });
    connect(&engine_, &Engine::SendFailed, this,
            [this](const QByteArray &user, const QByteArray &fileName, const QByteArray &statusText) {
                Notify(QStringLiteral("Sending %1 to %2 failed: %3")
                           .arg(DisplayText(fileName), DisplayText(user), DisplayText(statusText)));
            });
}

void ParcelWin::ShowChannelPicture(bool incoming, int index)
{
    if (index < 0 || index >= ChannelCount)
        return;
    const size_t i = static_cast<size_t>(index);
    const int picture = static_cast<int>(incoming ? engine_.Receivers()[i].Picture() : engine_.Senders()[i].Picture());
    QLabel *label = incoming ? incPics_[i] : outPics_[i];
    label->setPixmap(ChannelPixmap(picture, ChannelPictureSize, devicePixelRatioF()));
    label->setProperty("picture", picture);
    label->setToolTip(QStringLiteral("%1 channel %2: %3")
                          .arg(incoming ? QStringLiteral("Receive") : QStringLiteral("Send"))
                          .arg(index + 1)
                          .arg(ChannelPictureName(incoming ? engine_.Receivers()[i].Picture() : engine_.Senders()[i].Picture())));
}

void ParcelWin::ShowChannelStatus()
{
    const QByteArray rate = screen_->RateText();
    statusLine_->setFullText(DisplayText(screen_->StatusLine()));
    progressLine_->setFullText(DisplayText(screen_->ProgressLine()));
    rate_->setText(DisplayText(rate));
    // The rate in kilobytes per second; the tool tip gives megabytes per second.
    bool ok = false;
    const double kPerSec = rate.chopped(std::min<qsizetype>(5, rate.size())).toDouble(&ok);
    rate_->setToolTip(ok && rate.endsWith("k/sec")
                          ? QStringLiteral("%1 MB/s").arg(kPerSec / 1000.0, 0, 'f', 2)
                          : QString());
    if (progressPace_)
        progressPace_->Request();
    else
        UpdateProgressBar();
}

void ParcelWin::UpdateProgressBar()
{
    const int percent = screen_->ShownPercent();
    progressBar_->setEnabled(percent >= 0);
    progressBar_->setTextVisible(percent >= 0);
    progressBar_->setValue(std::clamp(percent, 0, 100));
}

void ParcelWin::Notify(const QString &text)
{
    lastNotice_ = text;
    if (tray_ && QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_->showMessage(QStringLiteral("Parcelwise"), text, QSystemTrayIcon::Information, 6000);
        return;
    }
    // Without a tray the desktop's notification service shows it, where there is one.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Parcelwise") << 0u << QStringLiteral("parcelwise") << QStringLiteral("Parcelwise") << text
         << QStringList() << QVariantMap() << 6000;
    bus.asyncCall(call);
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
            busy += engine_.Queue().field(row, QueueItem::Status) == "B" ? 1 : 0;
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

void ParcelWin::ShowOwnAddress()
{
    const QByteArray address = engine_.OwnAddress();
    // While the router maps the port, the address the world sees, with the router's port.
    const QByteArray mapped = engine_.Mapper().LabelText();
    if (!mapped.isEmpty()) {
        ownAddress_->setText(DisplayText(mapped));
        ownAddress_->setToolTip(DisplayText(engine_.Mapper().ToolTip(
            address + ':' + QByteArray::number(engine_.Prefs.ListenPort))));
        return;
    }
    // The port senders are to use, while the receive channels listen on it; without it while
    // nothing listens (not started yet, or the port is taken).
    const int listening = engine_.ListeningPort();
    ownAddress_->setText(address.isEmpty() ? QString()
                                           : DisplayText(address) + (listening > 0 ? QStringLiteral(":%1").arg(listening)
                                                                                   : QString()));
    QString tip = QStringLiteral("This computer's address");
    if (listening == 0)
        tip += engine_.CommsStarted()
                   ? QStringLiteral("\nNot listening: port %1 cannot be listened on (see the log); another port "
                                    "can be set in Edit > Preferences")
                         .arg(engine_.Prefs.ListenPort)
                   : QStringLiteral("\nNot listening yet: communications have not started");
    QStringList all;
    for (const QHostAddress &a : QNetworkInterface::allAddresses())
        if (!a.isLoopback())
            all << a.toString();
    if (!all.isEmpty())
        tip += QStringLiteral("\nAll addresses: ") + all.join(QStringLiteral(", "));
    ownAddress_->setToolTip(tip);
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

// ---- events ----

void ParcelWin::closeEvent(QCloseEvent *event)
{
    if (engine_.MayUnload) {
        event->accept();
        return;
    }
    event->ignore();
    QuitFromWindow();
}

void ParcelWin::dragEnterEvent(QDragEnterEvent *event)
{
    if (!DroppedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void ParcelWin::dropEvent(QDropEvent *event)
{
    const QList<QByteArray> files = DroppedFiles(event->mimeData());
    if (files.isEmpty())
        return;
    event->acceptProposedAction();
    // The loader is modal: it opens after the drop has been answered.
    QTimer::singleShot(0, this, [this, files] { ShowQueueLoader(files); });
}

QList<QByteArray> ParcelWin::DroppedFiles(const QMimeData *data)
{
    QList<QByteArray> files;
    if (!data || !data->hasUrls())
        return files;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile())
            files << QFile::encodeName(url.toLocalFile());
    return files;
}

void ParcelWin::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    ApplyLayoutRule();
}

int ParcelWin::StatusColumnWidth() const
{
    // Wide enough for the longest status a row can show, the percent of a row being sent included.
    const QFontMetrics metrics = queueView_->fontMetrics();
    int widest = 0;
    for (const char *text : {"Retry Wait Domain Missing", "Retry Wait Blank Filename", "Error: Domain Missing",
                             "Retry Wait Terminated", "Busy 100%"})
        widest = std::max(widest, metrics.horizontalAdvance(QLatin1String(text)));
    return widest + 2 * metrics.averageCharWidth() + 8;
}

void ParcelWin::FitQueueColumns()
{
    // The design widths, but the file name takes whatever the list has left and the columns
    // together never exceed the list, so there is no horizontal scroll bar; at the smallest
    // size the user column gives way before the status is cut.
    const int available = queueView_->viewport()->width();
    const int status = StatusColumnWidth();
    const int fixed = PxX(617) + PxX(529) + PxX(706) + status;
    const int rest = std::max(0, available - fixed);
    const int user = std::min(PxX(2646), rest / 3);
    queueView_->setColumnWidth(0, PxX(617));
    queueView_->setColumnWidth(QueueItem::UserName, user);
    queueView_->setColumnWidth(QueueItem::Priority, PxX(529));
    queueView_->setColumnWidth(QueueItem::Tries, PxX(706));
    queueView_->setColumnWidth(QueueItem::StatusText, status);
    queueView_->setColumnWidth(QueueItem::FileName, std::max(0, rest - user));
}

void ParcelWin::ApplyLayoutRule()
{
    if (isMinimized())
        return;
    // The rule works on the outer width; the frame is what the window manager adds around us.
    const int outerWidth = std::max(frameGeometry().width(), width());
    FitQueueColumns();
    panels_[1]->setMinimumWidth(std::max(0, outerWidth - PxX(5565)));
}

bool ParcelWin::eventFilter(QObject *watched, QEvent *event)
{
    if (queueView_ && watched == queueView_->viewport()) {
        switch (event->type()) {
        case QEvent::Resize:
            FitQueueColumns();
            break;
        case QEvent::DragEnter:
        case QEvent::DragMove:
            if (!DroppedFiles(static_cast<QDropEvent *>(event)->mimeData()).isEmpty()) {
                static_cast<QDropEvent *>(event)->acceptProposedAction();
                return true;
            }
            break;
        case QEvent::Drop:
            dropEvent(static_cast<QDropEvent *>(event));
            return true;
        default:
            break;
        }
    }
    if (watched == centralWidget() && event->type() == QEvent::MouseMove) {
        screen_->ClearStatusPanel(1);
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
