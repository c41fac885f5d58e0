// Start-up, shutdown, timers, the scheduler tick and the queue commands of the engine.
#include "transfer/Engine.h"

#include "core/FileOps.h"
#include "core/UserPrompt.h"
#include "transfer/ChannelStatus.h"
#include "transfer/Outcomes.h"

#include <QDir>
#include <QFile>
#include <QNetworkInterface>

Engine::Engine(const QString &programFolder, const Clock &clock, UserPrompt &prompt, TimerIntervals intervals,
               QObject *parent)
    : QObject(parent), paths_(MakeProgramPaths(programFolder)), clock_(clock), prompt_(prompt),
      intervals_(intervals), log_(clock, this), lookup_(clock, log_), posting_(clock, log_, prompt),
      mapper_(clock, log_)
{
    startQTimer_.setInterval(intervals_.StartQTimer);
    queueTimer_.setInterval(intervals_.QueueTimer);
    quitTimer_.setInterval(intervals_.QuitTimer);
    connect(&startQTimer_, &QTimer::timeout, this, &Engine::StartQTick);
    connect(&queueTimer_, &QTimer::timeout, this, &Engine::QueueTick);
    connect(&quitTimer_, &QTimer::timeout, this, &Engine::QuitTimerTick);
    for (int i = 0; i < ChannelCount; ++i) {
        rx_[i].Attach(i, *this);
        tx_[i].Attach(i, *this);
    }
    connect(&lookup_, &AddressLookup::Finished, this, &Engine::OnLookupFinished);
    pageWaitTimer_.setSingleShot(true);
    pageWaitTimer_.setInterval(PageWaitMs);
    connect(&pageWaitTimer_, &QTimer::timeout, this, &Engine::OnMappingSettled);
    connect(&mapper_, &PortMapper::SettledNow, this, &Engine::OnMappingSettled);
    connect(&mapper_, &PortMapper::MappingChanged, this, &Engine::OnMappingChanged);
    // The process may end as soon as the mapping is removed, without the quit timer's next turn.
    connect(&mapper_, &PortMapper::RemovalFinished, this, &Engine::FinishShutdownSoon);
    connect(&posting_, &AddressPosting::SideClosed, this, &Engine::FinishShutdownSoon);
}

Engine::~Engine()
{
    for (int i = 0; i < ChannelCount; ++i) {
        CloseSlotFile(rx_[i].FileHandle);
        tx_[i].CloseFile();
    }
    log_.CloseFiles();
}

void Engine::InitGlobals()
{
    CreateProgramFolders(paths_);
    posting_.Reset();
    Prefs = Preferences{};
    LoadPrefsFile(paths_.ProgramFolder, Prefs);
    LoadUsersFile(paths_.ProgramFolder, Users);
    trustProblems_ = trust_.Load(paths_.ProgramFolder);
}

void Engine::MainWindowLoad()
{
    VersionText = "Version " PW_VERSION;
    ShuttingDown = false;
    ShutdownStepsDone = MayUnload = false;
    if (!ownAddressFixed_)
        ShowOwnAddress(LocalAddress());
    LoadQueueFile();
    if (Prefs.ReceiveChannels < 1)
        Prefs.ReceiveChannels = 1;
    for (int i = 0; i < ChannelCount; ++i) {
        tx_[i].Configure(i < Prefs.SendChannels);
        rx_[i].Configure(i < Prefs.ReceiveChannels);
    }
    log_.OpenLogFile(paths_.LogsFolder);
    log_.OpenMessageFile(paths_.LogsFolder);
    for (const QByteArray &line : trustProblems_)
        Showit(line);
    trustProblems_.clear();
    // Stored files of an earlier version, or copied in, may be open to other users: they hold
    // passwords and the queue. Received files and the folders are left as the user has them.
    const QList<QByteArray> tightened = TightenStoredFiles(
        paths_.ProgramFolder, {QLatin1String(UsersFileName), QLatin1String(PrefsFileName),
                               QLatin1String(QueueFileName), QLatin1String(LockFileName),
                               QStringLiteral("Parcelwise_Key"), QStringLiteral("Parcelwise_Pins")});
    if (!tightened.isEmpty())
        Showit("Made private to their owner: " + tightened.join(", "));
    startQTimer_.start();
    // A machine that has its address already starts communications on the event loop's first
    // turn, not a start tick later.
    QTimer::singleShot(0, this, [this] {
        if (startQTimer_.isActive())
            StartQTick();
    });
    AnnounceSlots();
    emit Loaded();
}

void Engine::BeginShutdown()
{
    // A repeated quit command (another close click, another signal) is ignored: the steps have
    // run or are running, and the quit timer, started once, keeps its phase, so the exit is
    // never put off.
    if (ShuttingDown)
        return;
    Showit("Closing down program");
    ShuttingDown = true;
    emit ShutdownBegun();
    // The dynamic-address side: abort a running upload, post the closed page, or report the
    // side closed at once; then cut off every address lookup still under way.
    posting_.BeginShutdown(Prefs);
    lookup_.CloseLookups();
    // The router mapping is removed (at most 2 s); a page still waiting for it is not posted.
    pageWaits_ = false;
    pageWaitTimer_.stop();
    mapper_.BeginRemoval();
    Showit("Closing Outgoing Connections");
    AbortAllSends();
    Showit("Closing Incoming Connections");
    StopReceiveChannels();
    Showit("Closing Queue");
    SaveQueueFile();
    Showit("Deleting Temporary Files");
    for (const QString &folder : paths_.LookupTempFolder) {
        QDir dir(folder);
        for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
            dir.remove(name);
    }
    Showit("Closing Logs");
    log_.WriteReceivedMessages();
    Showit("Cleaning Up");
    ShutdownStepsDone = true;
    // The quit timer is only the safety net: the end comes on the event loop's next turn once the
    // dynamic-address side has closed (at once for a static address, else on SideClosed) and the
    // router mapping is removed (RemovalFinished).
    quitTimer_.start();
    FinishShutdownSoon();
}

void Engine::FinishShutdownSoon()
{
    if (!ShuttingDown || !ShutdownStepsDone || !posting_.DynamicSideClosed() || !mapper_.RemovalDone() || MayUnload ||
        finishQueued_)
        return;
    finishQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        finishQueued_ = false;
        QuitTimerTick();
    });
}

void Engine::QuitTimerTick()
{
    if (MayUnload || !(posting_.DynamicSideClosed() && ShutdownStepsDone && mapper_.RemovalDone()))
        return;
    log_.CloseFiles();
    for (int i = 0; i < ChannelCount; ++i) {
        CloseSlotFile(rx_[i].FileHandle);
        tx_[i].CloseFile();
    }
    queueTimer_.stop();
    startQTimer_.stop();
    quitTimer_.stop();
    MayUnload = true;
    emit QuitReady();
}

bool Engine::TimersRunning() const
{
    return queueTimer_.isActive();
}

QByteArray Engine::LocalAddress() const
{
    for (const QHostAddress &a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
            return a.toString().toLatin1();
    return "127.0.0.1";
}

void Engine::SetOwnAddress(const QByteArray &address)
{
    ownAddressFixed_ = true;
    ShowOwnAddress(address);
}

void Engine::ShowOwnAddress(const QByteArray &address)
{
    if (ownAddress_ == address)
        return;
    ownAddress_ = address;
    emit OwnAddressChanged(address);
}

void Engine::StartChannels()
{
    if (ShuttingDown)
        return;
    startQTimer_.stop();
    const QByteArray local = ownAddressFixed_ ? ownAddress_ : LocalAddress();
    if (local != "127.0.0.1")
        ShowOwnAddress(local);
    commsStarted_ = true;
    StartPortMapping();
    if (Prefs.AddressType == AddressKind::Dynamic)
        PostOpenPage();
    for (ReceiveChannel &rc : rx_)
        rc.Start();
    queueTimer_.start();
    // The port listens and the due rows start now, not on the first scheduler tick.
    EnsureListening();
    StartDueItemsSoon();
    emit CommunicationsStarted();
    AnnounceSlots();
}

void Engine::StartQTick()
{
    if (ShuttingDown)
        return;
    // A machine that had no network at start-up may have one now.
    if (!ownAddressFixed_)
        ShowOwnAddress(LocalAddress());
    if (ownAddress_ != "127.0.0.1")
        StartChannels();
}

void Engine::QueueTick()
{
    if (BusyUpdatingQ)
        return;
    emit Ticked();
    const QDateTime now = clock_.now();
    if (ShuttingDown)
        return;
    AnnounceSlots();
    EnsureListening();
    for (int i = 0; i < ChannelCount; ++i) {
        rx_[i].Tick(now);
        tx_[i].Tick(now);
    }
    StartNextDueItem(now);
}

void Engine::StartNextDueItem(const QDateTime &now)
{
    // Every idle channel, lowest first, takes the next due row, each at most once per call: a
    // row that ends at once frees its channel for the next call (StartDueItemsSoon), so a long
    // run of such rows never holds the event loop.
    for (int channel = 0; channel < ChannelCount; ++channel) {
        if (ShuttingDown || BusyUpdatingQ)
            return;
        if (tx_[channel].Letter != SendLetter::Idle)
            continue;
        const int row = queue_.PickNextItem(ToDateSerial(now));
        if (row < 0)
            return;
        tx_[channel].Reserve();
        const QueueRowId id = queue_.MarkBusy(row, channel);
        const QueueItem item = queue_.item(row);
        tx_[channel].Begin(id, item.userName(), item.filePath(), item.message());
    }
}

void Engine::StartDueItemsSoon()
{
    // Only once communications run; the queue may be edited in between, so the choice is made
    // when the call comes.
    if (dueItemsQueued_ || ShuttingDown || !queueTimer_.isActive())
        return;
    dueItemsQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        dueItemsQueued_ = false;
        if (queueTimer_.isActive())
            StartNextDueItem(clock_.now());
    });
}

int Engine::SenderOfRow(QueueRowId row) const
{
    for (int i = 0; row != 0 && i < ChannelCount; ++i)
        if (tx_[i].SendingRow() == row)
            return i;
    return -1;
}

// ---- queue file and commands ----

void Engine::LoadQueueFile()
{
    const QString &path = paths_.QueueFile;
    // Never through a symbolic link planted in its place, never blocking on a FIFO.
    const int fd = OpenRegularFile(QFile::encodeName(path), false);
    QFile file;
    if (fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        queue_.LoadQueueFile(file, clock_.nowSerial());
    else
        queue_.setItems({});
    BusyUpdatingQ = false;
}

bool Engine::SaveQueueFile()
{
    BusyUpdatingQ = true;
    const QString &path = paths_.QueueFile;
    // An empty queue deletes the file, as for every stored file.
    const int rc = queue_.rowCount() == 0
                       ? StoreFile(path, {})
                       : WriteWholeFileWith(path, [this](QIODevice &file) { return queue_.WriteQueueFile(file); });
    if (rc != WriteOk) {
        prompt_.Beep();
        BusyUpdatingQ = false;
        prompt_.Message(QStringLiteral("Cannot Write User Data"));
        return false;
    }
    BusyUpdatingQ = false;
    return true;
}

void Engine::EditQueue(const std::function<void()> &edit)
{
    if (queue_.rowCount() == 0)
        return;
    BusyUpdatingQ = true;
    edit();
    SaveQueueFile();
    BusyUpdatingQ = false;
}

void Engine::EnableSelectedItems(const QList<int> &rows)
{
    EditQueue([&] { queue_.EnableSelectedItems(rows, clock_.nowSerial()); });
    StartDueItemsSoon();
}

void Engine::HoldSelectedItems(const QList<int> &rows)
{
    EditQueue([&] { queue_.HoldSelectedItems(rows); });
}

void Engine::DeleteSelectedItems(const QList<int> &rows)
{
    EditQueue([&] { queue_.DeleteSelectedItems(rows); });
}

int Engine::RemoveSentRows()
{
    const QList<int> rows = queue_.RowsWithStatus(RowStatus::Sent);
    if (!rows.isEmpty())
        DeleteSelectedItems(rows);
    return static_cast<int>(rows.size());
}

void Engine::SetSelectedPriority(const QList<int> &rows, int priority)
{
    EditQueue([&] { queue_.SetSelectedPriority(rows, priority); });
}

void Engine::AddQueueItems(const std::vector<QueueItem> &items)
{
    if (items.empty())
        return;
    BusyUpdatingQ = true;
    for (const QueueItem &item : items)
        queue_.AddItem(item);
    SaveQueueFile();
    BusyUpdatingQ = false;
    StartDueItemsSoon();
}

bool Engine::SaveUsers(const UserList &users)
{
    Users = users;
    // A deleted user's pinned key goes with it.
    trust_.KeepOnlyPinsOf(Users);
    return SaveUsersFile(paths_.ProgramFolder, Users, prompt_);
}

bool Engine::SavePrefs(const Preferences &prefs)
{
    Prefs = prefs;
    const bool saved = SavePrefsFile(paths_.ProgramFolder, Prefs, prompt_);
    ApplyPortMappingPreference();
    return saved;
}

// ---- slot snapshots ----

SlotSnapshot Engine::Snapshot(char direction, int index) const
{
    const int i = std::clamp(index, 0, ChannelCount - 1);
    return direction == 'I' ? rx_[i].Snapshot() : tx_[i].Snapshot();
}

void Engine::AnnounceProgress(char direction, int index)
{
    emit SlotProgressed(Snapshot(direction, index));
    emit ProgressChanged(direction, index);
}

void Engine::AnnounceSlots()
{
    for (int i = 0; i < ChannelCount; ++i) {
        emit SlotUpdated(rx_[i].Snapshot());
        emit SlotUpdated(tx_[i].Snapshot());
    }
}
