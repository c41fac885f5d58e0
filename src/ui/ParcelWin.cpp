// The main window: queue list, channel frames, channel status, live log and status bar, laid
// out and rendered from the engine; its menus and commands are in ParcelWinCommands.cpp.
#include "ui/ParcelWin.h"

#include "transfer/Engine.h"
#include "ui/DisplayText.h"
#include "ui/Icons.h"
#include "ui/Notices.h"
#include "ui/QueueView.h"
#include "ui/ScreenState.h"
#include "ui/Viewers.h"
#include "ui/Widgets.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkInterface>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

namespace {

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
    connect(queueView_, &QWidget::customContextMenuRequested, this, &ParcelWin::ShowRowMenu);
    connect(queueView_, &QueueListView::deletePressed, this, &ParcelWin::DeleteSelected);
    connect(queueView_, &QueueListView::filesDropped, this, &ParcelWin::LoadDroppedFiles);
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
    notices_ = new DesktopNotices(engine_, this);
    ConnectEngine();
    // The progress line follows every change of a channel's percent (the engine refreshes it);
    // the bar, whose repaint is costly, and the percent of the rows being sent follow at most a
    // few times a second, always ending on the latest state.
    progressPace_ = new PaceLimiter(ProgressRepaintMs, [this] {
        UpdateProgressBar();
        queueView_->ViewModel()->RefreshBusyRows();
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

    connect(&engine_, &Engine::MessageReceived, this, [this] { MarkNewMessages(true); });
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
    LoadDroppedFiles(files);
}

void ParcelWin::LoadDroppedFiles(const QList<QByteArray> &files)
{
    // The loader is modal: it opens after the drop has been answered.
    QTimer::singleShot(0, this, [this, files] { ShowQueueLoader(files); });
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
    queueView_->FitColumns();
    panels_[1]->setMinimumWidth(std::max(0, outerWidth - PxX(5565)));
}

bool ParcelWin::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == centralWidget() && event->type() == QEvent::MouseMove)
        screen_->ClearStatusPanel(1);
    return QMainWindow::eventFilter(watched, event);
}

QTreeView *ParcelWin::queueView() const
{
    return queueView_;
}

QString ParcelWin::LastNotice() const
{
    return notices_->LastNotice();
}
