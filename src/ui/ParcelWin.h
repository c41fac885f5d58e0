// The main window: a view of the engine's state and the place its commands are given. It holds
// no state of its own that the engine needs; everything it shows comes from the engine's getters
// and change signals. ParcelWin.cpp builds and lays it out and shows the engine's state;
// ParcelWinCommands.cpp holds the menus, the toolbar and the commands they give; the queue list
// is QueueView, the desktop notifications DesktopNotices, the screen state ScreenState.
#pragma once

#include "core/Limits.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <array>
#include <functional>

class DesktopNotices;
class Engine;
class ElidedLabel;
class PictureLabel;
class QueueListView;
class ScreenState;
class QAction;
class QLabel;
class QLoadWin;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeView;
class QUrl;
class PaceLimiter;

class ParcelWin : public QMainWindow {
    Q_OBJECT
public:
    // The address the logo opens.
    static constexpr const char *WebAddress = "https://parcelwise.example/";
    // Toolbar positions, 1 to 22; those without a button are separators.
    static constexpr int ToolbarPositions = 22;

    explicit ParcelWin(Engine &engine, QWidget *parent = nullptr);

    // What the window shows of the slots, the shown channel, the status bar's panels and the
    // activity pictures.
    ScreenState &Screen() { return *screen_; }

    // The commands of the menus and the toolbar.
    void ShowPreferences();
    void ShowUsers();
    // The queue loader, with these files listed; without users it offers the users window.
    void ShowQueueLoader(const QList<QByteArray> &files = {});
    // The window's own quit commands: asks first while transfers run.
    void QuitFromWindow();
    void ShowMessageViewer();
    void ShowLogViewer();
    void ShowHelp();
    void ShowAbout();
    void CopySelection();
    void OpenDownloadsFolder();
    void OpenWebAddress();
    void EnableSelected();
    void HoldSelected();
    void DeleteSelected();
    void SetSelectedPriority(int priority);

    // Queue rows selected in the list, ascending.
    QList<int> SelectedRows() const;
    QTreeView *queueView() const;
    QAction *menuAction(const QString &name) const;
    // Shows the percent of the channel in the status frame while it transfers a file.
    void UpdateProgressBar();
    // The text of the last desktop notification (shown only where the desktop has a tray).
    QString LastNotice() const;
    // Messages arrived since the messages viewer was last opened.
    bool HasNewMessages() const { return newMessages_; }
    // The bar and the percent of the rows being sent repaint at most once per this many
    // milliseconds (a quarter of a second unless set).
    void SetProgressRepaintInterval(int ms);
    // How Open Downloads Folder opens a folder; false when nothing could open it. By default
    // the desktop's file manager, where one is set up.
    void SetFolderOpener(std::function<bool(const QUrl &)> opener) { openFolder_ = std::move(opener); }

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void BuildMenus();
    void BuildToolbar();
    QWidget *BuildChannelFrame(const QString &title, bool incoming);
    QWidget *BuildStatusFrame();
    void BuildStatusBar();
    void ConnectEngine();
    void ApplyLayoutRule();
    void ShowChannelPicture(bool incoming, int index);
    void ShowChannelStatus();
    void NoteBusyRowsSkipped();
    // Files dropped on the window or the queue go to the queue loader.
    void LoadDroppedFiles(const QList<QByteArray> &files);
    void ShowRowMenu(const QPoint &position);
    int RunningTransfers() const;
    void ShowOwnAddress();
    void ShowCommsState();
    // The design minimum size, given way to a screen too small for it.
    void FitMinimumToScreen();
    void MarkNewMessages(bool fresh);
    int PxX(int twips) const;
    int PxY(int twips) const;

    Engine &engine_;
    ScreenState *screen_ = nullptr;
    QueueListView *queueView_ = nullptr;
    QPlainTextEdit *log_ = nullptr;
    QLabel *ownAddress_ = nullptr;
    PictureLabel *logo_ = nullptr;
    QLabel *animation_ = nullptr;
    ElidedLabel *statusLine_ = nullptr;
    ElidedLabel *progressLine_ = nullptr;
    QLabel *rate_ = nullptr;
    QProgressBar *progressBar_ = nullptr;
    std::array<QLabel *, ChannelCount> incPics_ = {};
    std::array<QLabel *, ChannelCount> outPics_ = {};
    std::array<QPushButton *, ChannelCount> incButtons_ = {};
    std::array<QPushButton *, ChannelCount> outButtons_ = {};
    std::array<ElidedLabel *, 3> panels_ = {};
    DesktopNotices *notices_ = nullptr;
    QAction *messagesTool_ = nullptr;
    QAction *startTool_ = nullptr;
    PaceLimiter *progressPace_ = nullptr; // the bar and the rows' percent repaint a few times a second
    std::function<bool(const QUrl &)> openFolder_;
    bool newMessages_ = false;
    QPointer<QLoadWin> openLoader_; // the queue loader while it is open
};
