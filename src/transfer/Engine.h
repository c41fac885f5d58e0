// The transfer engine of one installation: settings, address book, log, queue, the four
// receive and four send channels with their sockets, the timers, start-up and shutdown.
// It runs without any window; the main window shows its state and calls its commands.
#pragma once

#include "core/Clock.h"
#include "core/Preferences.h"
#include "core/ProgramPaths.h"
#include "core/Timers.h"
#include "core/TransferLog.h"
#include "core/Users.h"
#include "dynaddr/AddressLookup.h"
#include "dynaddr/AddressPosting.h"
#include "dynaddr/PortMapper.h"
#include "transfer/ChannelStatus.h"
#include "transfer/Connection.h"
#include "transfer/OutcomeWords.h"
#include "transfer/PeerTrust.h"
#include "transfer/Queue.h"
#include "transfer/ReceiveChannel.h"
#include "transfer/SendChannel.h"
#include "transfer/SlotStates.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>

class UserPrompt;

// The slots ask their host (this engine) for what lies beyond them: the clock, the log, the
// address book, the downloads folder, the lookup, the queue row an attempt ends with.
class Engine : public QObject, private ReceiveHost, private SendHost {
    Q_OBJECT
public:
    Engine(const QString &programFolder, const Clock &clock, UserPrompt &prompt,
           TimerIntervals intervals = {}, QObject *parent = nullptr);
    ~Engine() override;

    // Start-up in two steps, called in this order by the windowed and the headless run alike;
    // the names are the historic ones, neither needs a window.
    // InitGlobals: makes the program folders, resets the posting's flags, sets the default
    // preferences and reads the stored ones over them, reads the users file.
    // MainWindowLoad: everything else the engine needs before communications start: the version
    // text and the own address, the queue file, the channel slots (letters and pictures from the
    // channel counts), the day's log and message files, stored files made private to their
    // owner and the start timer; then Loaded.
    void InitGlobals();
    void MainWindowLoad();
    // The shutdown steps, in order; the process may end (QuitReady) on the event loop's turn after
    // both they and the dynamic-address side are done.
    void BeginShutdown();
    // The end of the shutdown once both are done; the quit timer calls it as a safety net.
    void QuitTimerTick();

    // Communications.
    void StartChannels();
    void StartQTick();
    void QueueTick();
    // The scheduler's choice: every idle send channel takes the next due queue row.
    void StartNextDueItem(const QDateTime &now);
    void EnsureListening();
    // The receive port follows Prefs.ListenPort at once: once communications have started, the
    // port listened on moves to it (callers being served keep their connections), and with address
    // type "D" the address page is posted again so that peers find the new port. The own address
    // is announced again, also before the start, as it is shown with the port.
    void ApplyListenPort();
    void StopReceiveChannels();
    void AbortAllSends();

    // Queue file and queue commands on selected rows.
    void LoadQueueFile();
    bool SaveQueueFile();
    void EnableSelectedItems(const QList<int> &rows);
    void HoldSelectedItems(const QList<int> &rows);
    void DeleteSelectedItems(const QList<int> &rows);
    void SetSelectedPriority(const QList<int> &rows, int priority);
    // Takes every delivered ("S") row out of the queue and writes the queue file; how many.
    int RemoveSentRows();
    // Adds loaded files at the bottom of the queue and writes the queue file.
    void AddQueueItems(const std::vector<QueueItem> &items);
    bool SaveUsers(const UserList &users);
    bool SavePrefs(const Preferences &prefs);

    // Hands the value snapshot of every slot to whoever shows them (SlotUpdated).
    void AnnounceSlots();
    // The value snapshot of receive ('I') or send ('O') slot index (0..ChannelCount-1).
    SlotSnapshot Snapshot(char direction, int index) const;

    void Showit(const QByteArray &text) { log_.Showit(text); }

    // State read by the windows and tests.
    const ProgramPaths &Paths() const { return paths_; }
    Preferences Prefs;
    UserList Users;
    bool ShuttingDown = false;
    bool BusyUpdatingQ = false;
    bool ShutdownStepsDone = false;
    bool MayUnload = false;
    QByteArray VersionText;
    // The dynamic-address side: nothing of the address posting is pending any more.
    bool DynamicSideClosed() const { return posting_.DynamicSideClosed(); }
    bool AbortFtpRequested() const { return posting_.AbortFtpRequested(); }
    int NextDataPort() const { return posting_.NextDataPort(); }
    AddressPosting &Posting() { return posting_; }
    // The own key and the peers' pinned keys of encrypted transfers.
    PeerTrust &Trust() { return trust_; }
    const PeerTrust &Trust() const { return trust_; }
    AddressLookup &Lookup() { return lookup_; }
    // The listening port mapped on the home router. The engine maps only when its owner allows
    // it (off by default; the window and headless runs allow it) and the preference "NM" is
    // Automatic: when communications start, then for a changed port or preference.
    void AllowPortMapping(bool allowed) { portMappingAllowed_ = allowed; }
    bool PortMappingAllowed() const { return portMappingAllowed_; }
    PortMapper &Mapper() { return mapper_; }
    const PortMapper &Mapper() const { return mapper_; }
    // How long the first posting of the page waits for the router's first answer.
    static constexpr int PageWaitMs = 3000;
    TransferLog &Log() { return log_; }
    QueueModel &Queue() { return queue_; }
    const QueueModel &Queue() const { return queue_; }
    const Clock &ClockRef() const { return clock_; }
    UserPrompt &Prompt() { return prompt_; }
    const std::array<ReceiveChannel, ChannelCount> &Receivers() const { return rx_; }
    const std::array<SendChannel, ChannelCount> &Senders() const { return tx_; }
    // The send channel sending the queue row's file (in a batch, the file whose bytes go now);
    // -1 when none does.
    int SenderOfRow(QueueRowId row) const;
    QByteArray OwnAddress() const { return ownAddress_; }
    const TimerIntervals &Intervals() const { return intervals_; }
    bool TimersRunning() const;
    // The port the receive channels listen on right now (0 when none listens).
    int ListeningPort() const;
    // Communications have started; Start Communications has nothing more to do.
    bool CommsStarted() const { return commsStarted_; }
    // What the last failed attempt of this user's file learnt beyond the row's status (where a
    // connection was tried, why the page gave no address); kept while this installation runs.
    AttemptDetail LastAttempt(const QByteArray &user, const QByteArray &filePath) const;

    // For tests: fixes the machine's address instead of reading it from the interfaces.
    void SetOwnAddress(const QByteArray &address);
    // The benchmark's stand-in for a slow disk: every write of received data first waits this
    // long. Nothing stored and no argument sets it.
    void SetReceiveWriteDelayForBenchmark(int microseconds) { receiveWriteDelayUs_ = microseconds; }

signals:
    // MainWindowLoad is done: the version text and the slots are set.
    void Loaded();
    // A send slot starts its connection to this host (the address or name it was given).
    void Connecting(const QByteArray &host);
    // Receive slot index (0..ChannelCount-1) has started to listen.
    void ListeningOn(int index);
    // The port cannot be listened on (another program holds it); it is tried again next tick.
    void ListenFailed();
    void OwnAddressChanged(const QByteArray &address);
    // The router mapping (or its absence) changed: the own-address label shows it.
    void RouterMappingChanged();
    void ReceiveChannelChanged(int index);
    void SendChannelChanged(int index);
    // A slot's state as a value, whenever what is shown of it may have changed (and on every
    // scheduler tick, for the rate): the window or --status renders it.
    void SlotUpdated(const SlotSnapshot &slot);
    // A slot's rounded percent changed (with ProgressChanged).
    void SlotProgressed(const SlotSnapshot &slot);
    // The scheduler's tick (also while shutting down, not while the queue is being edited).
    void Ticked();
    void CommunicationsStarted();
    void ShutdownBegun();
    void FileReceived(const QByteArray &login, const QByteArray &fileName);
    void MessageReceived(const QByteArray &login);
    void SendFailed(const QByteArray &user, const QByteArray &fileName, const QByteArray &statusText);
    void QuitReady();
    // The rounded percent of a transfer changed: direction 'I' or 'O', slot index 0 to 3.
    void ProgressChanged(char direction, int index);

private:
    // Receive side.
    void OnNewConnection();
    // The server could not accept a caller (no descriptor or memory left) and stopped accepting.
    void OnAcceptFailed();
    void TurnAwayBusy(Connection *connection);
    void AnnounceProgress(char direction, int index);
    // Keeps what a failed attempt of a row learnt for the row's words; the row's delivery
    // forgets it unless another row of the same user and file still failed.
    void NoteAttempt(int slot, QueueRowId row, const QByteArray &user, const QByteArray &filePath,
                     const QByteArray &result, bool delivered);

    // Send side.
    void OnLookupFinished(int channel, const LookupResult &result);
    void FinishShutdownSoon();
    // StartNextDueItem on the event loop's next turn (once, however often asked), while
    // communications run: after an ending frees a channel and after rows were queued or enabled.
    void StartDueItemsSoon();

    // What the slots ask of the engine.
    const Clock &SlotClock() const override { return clock_; }
    bool Stopping() const override { return ShuttingDown; }
    void LogLine(const QByteArray &line) override { Showit(line); }
    void SlotStatusChanged() override { AnnounceSlots(); }
    void LocalEndSeen(const QHostAddress &local) override;
    bool LoginValid(const QByteArray &login, const QByteArray &password) const override;
    QString DownloadsFolder() const override { return paths_.DownloadsFolder; }
    bool FileBeingReceived(int slot, const QString &path) const override;
    void MessageArrived(const QDateTime &at, const QByteArray &login, const QByteArray &message,
                        const QByteArray &fileName) override;
    void ReceiveEnded(int slot, const ReceiveOutcome &outcome, const QByteArray &login,
                      const QByteArray &fileName) override;
    void ReceiveSlotChanged(int slot) override { emit ReceiveChannelChanged(slot); }
    void ListenNext() override { EnsureListening(); }
    void ReceiveProgress(int slot) override { AnnounceProgress('I', slot); }
    int ReceiveWriteDelayUs() const override { return receiveWriteDelayUs_; }
    const UserList &AddressBook() const override { return Users; }
    quint64 StartLookup(int slot, const QByteArray &user, const QByteArray &pageUrl) override;
    void Dial(Connection &connection, const QByteArray &host, int port) override;
    void SendEnded(int slot, QueueRowId row, const Outcome &outcome, const QByteArray &result,
                   const QByteArray &user, const QByteArray &fileName) override;
    void SendSlotFreed(int slot, OutcomeClass outcomeClass) override;
    std::vector<DueRow> DueRowsOf(const QByteArray &user, int limit) override;
    void MarkRowBusy(int slot, QueueRowId row) override;
    void SendSlotChanged(int slot) override { emit SendChannelChanged(slot); }
    void SendProgress(int slot) override { AnnounceProgress('O', slot); }
    PeerTrust *TransferTrust() override { return &trust_; }
    EncryptionSetting EncryptionPreference() const override { return Prefs.Encryption; }

    // The shape every edit of selected rows shares: nothing on an empty queue, the scheduler kept
    // out while the rows change and the queue file is written.
    void EditQueue(const std::function<void()> &edit);
    QByteArray LocalAddress() const;
    // The own-address label: what the interfaces or a connection's local end report.
    void ShowOwnAddress(const QByteArray &address);
    // Router port mapping and the open page it names (EngineMapping.cpp).
    void StartPortMapping();
    void ApplyPortMappingPreference();
    // Posts the open page, waiting up to PageWaitMs for the router's first answer.
    void PostOpenPage();
    // Posts the open page at once, naming the mapping's external address and port if any.
    void PostPageNow();
    void OnMappingSettled();
    void OnMappingChanged();

    ProgramPaths paths_;
    const Clock &clock_;
    UserPrompt &prompt_;
    TimerIntervals intervals_;
    TransferLog log_;
    QueueModel queue_;
    std::array<ReceiveChannel, ChannelCount> rx_;
    std::array<SendChannel, ChannelCount> tx_;
    ConnectionServer *server_ = nullptr;
    int receiveWriteDelayUs_ = 0;
    bool listeningGuard_ = false;
    bool finishQueued_ = false;  // the end of the shutdown waits for the event loop's next turn
    bool dueItemsQueued_ = false; // a StartNextDueItem waits for the event loop's next turn
    bool listenFailureLogged_ = false;
    bool acceptPaused_ = false;         // accepting stopped after a failure; the next tick resumes it
    bool acceptFailureLogged_ = false;
    // By user and file path: the last failed attempt and the rows whose last attempt failed.
    struct FailedAttempt {
        AttemptDetail detail;
        QSet<QueueRowId> rows;
    };
    QHash<QByteArray, FailedAttempt> attempts_;
    QTimer startQTimer_, queueTimer_, quitTimer_;
    AddressLookup lookup_;
    AddressPosting posting_;
    PortMapper mapper_;
    PeerTrust trust_;
    QList<QByteArray> trustProblems_; // logged once the log is open
    bool portMappingAllowed_ = false;
    bool commsStarted_ = false;
    bool pageWaits_ = false;
    QTimer pageWaitTimer_;
    QByteArray givenPageIp_;  // what the posting was last told to name
    int givenPagePort_ = 0;
    QByteArray ownAddress_ = "127.0.0.1";
    bool ownAddressFixed_ = false;
};
