// A send slot: one queued file to one peer over one connection, in 1024-byte pieces from the
// offset the receiver reports, and every ending handed to HandleOutcome.
#include "transfer/SendChannel.h"

#include "core/Clock.h"
#include "core/FileOps.h"
#include "core/SocketErrors.h"
#include "core/TextUtil.h"
#include "core/Timers.h"
#include "transfer/ChannelStatus.h"
#include "transfer/Connection.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"
#include "transfer/ReceiveChannel.h"

#include <unistd.h>

using namespace Protocol;

namespace {
// Pieces are 1024 bytes; a batch of whole pieces goes to the operating system per turn.
constexpr int64_t BatchSize = 64 * 1024;
// On an encrypting connection a batch is encrypted on its way: larger batches spread each turn's
// fixed cost over more data, still well within a few milliseconds a turn.
constexpr int64_t EncryptedBatchSize = 256 * 1024;
} // namespace

SendChannel::SendChannel()
{
    batchTimer_.setSingleShot(true);
    batchTimer_.setInterval(0);
    connect(&batchTimer_, &QTimer::timeout, this, &SendChannel::SendBatch);
}

void SendChannel::Attach(int index, SendHost &host)
{
    index_ = index;
    host_ = &host;
}

void SendChannel::ResetForNextItem()
{
    Raise(SendEvent::End);
    Result = OutcomeCode::None;
    QueueRow = 0;
    UserName.clear();
    LoginName.clear();
    Password.clear();
    AddressType = AddressKind::Static;
    Host.clear();
    Port = 0;
    PageURL.clear();
    FilePath.clear();
    Message.clear();
    FileName.clear();
    FileSize = BytesLeft = BytesSent = 0;
    Buffer.clear();
    BatchLength = 0;
    PercentDone = 0;
    SendStarted = LastPieceAt = QDateTime();
    LookupTicket = 0;
    CopyOnly = BatchOffered = false;
    BatchFiles.clear();
    BatchFileAt = 0;
    Tls = ChannelEncryption();
    batchTimer_.stop();
}

ChannelPicture SendChannel::Picture() const
{
    switch (Letter) {
    case SendLetter::Idle: return ChannelPicture::Idle;
    case SendLetter::Disabled: return ChannelPicture::Disabled;
    case SendLetter::Waiting:
    case SendLetter::Busy: return ChannelPicture::Active;
    }
    return ChannelPicture::Idle;
}

void SendChannel::Configure(bool enabled)
{
    ResetForNextItem();
    Letter = enabled ? SendLetter::Idle : SendLetter::Disabled;
    host_->SendSlotChanged(index_);
}

void SendChannel::Reserve()
{
    Letter = SendLetter::Waiting;
}

void SendChannel::CloseFile()
{
    CloseSlotFile(FileHandle);
}

void SendChannel::Begin(QueueRowId row, const QByteArray &userName, const QByteArray &filePath,
                        const QByteArray &message)
{
    ResetForNextItem();
    QueueRow = row;
    Letter = SendLetter::Waiting;
    Raise(SendEvent::Take);
    UserName = userName;
    FileName = FileNameOf(filePath);
    FilePath = filePath;
    const UserList &users = host_->AddressBook();
    const int user = FindUser(users, userName);
    if (user < 0) {
        Result = OutcomeCode::UnknownUser;
        HandleOutcome();
        return;
    }
    const UserRecord &record = users[user];
    AddressType = DynamicOnlyIfD(FieldOf(record, UserAddressType));
    UserName = FieldOf(record, ::UserName);
    LoginName = FieldOf(record, UserSendName);
    Password = FieldOf(record, UserSendPassword);
    if (AddressType == AddressKind::Static) {
        Host = FieldOf(record, UserAddress);
        Port = static_cast<int>(LeadingInteger(FieldOf(record, UserPort), -1, 65536));
    } else {
        PageURL = FieldOf(record, UserAddress);
    }
    Message = message;
    Route();
}

void SendChannel::Route()
{
    Letter = SendLetter::Waiting;
    host_->SendSlotChanged(index_);
    if (AddressType == AddressKind::Static) {
        Connect();
        return;
    }
    // A request too long for any receiver ends before anyone is asked for the address.
    if (LongestRequestSize(LoginName, Password, FileNameOf(FilePath), FileLength(QString::fromLocal8Bit(FilePath)),
                           Message) > MaxRequestSize) {
        Result = OutcomeCode::TooLong;
        HandleOutcome();
        return;
    }
    // The peer's address comes from its address page; TakeLookupResult carries on.
    Host.clear();
    Port = 0;
    LookupTicket = host_->StartLookup(index_, UserName, PageURL);
    if (LookupTicket == 0 && !host_->Stopping()) {
        Result = OutcomeCode::NoAddress;
        HandleOutcome();
    }
}

void SendChannel::TakeLookupResult(const LookupResult &result)
{
    // The one staleness check: only the lookup this slot waits for carries it on. The ticket is
    // cleared whenever the slot moves on (connecting, or any ending).
    if (result.Ticket == 0 || result.Ticket != LookupTicket)
        return;
    LookupTicket = 0;
    if (result.Endpoint) {
        Host = result.Endpoint->Host;
        Port = result.Endpoint->Port;
        // Where the file goes is the page's word: it is logged.
        host_->LogLine("Address for " + UserName + " is " + Host + ":" + QByteArray::number(Port));
        Connect();
    } else {
        Result = OutcomeCode::NoAddress;
        HandleOutcome();
    }
}

void SendChannel::Connect()
{
    if (host_->Stopping())
        return;
    if (!IsValidPort(Port) || TrimBlanks(Host).isEmpty()) {
        Result = OutcomeCode::NoAddress;
        HandleOutcome();
        return;
    }
    const QString path = QString::fromLocal8Bit(FilePath);
    if (FilePath.isEmpty() || !FileExists(path) || FolderExists(path)) {
        Result = OutcomeCode::FileMissing;
        HandleOutcome();
        return;
    }
    if (!OpenFile()) {
        Result = OutcomeCode::FileError;
        HandleOutcome();
        return;
    }
    // A receiver refuses a request over the cap for good; nobody is called for it.
    if (LongestRequestSize(LoginName, Password, FileName, FileSize, Message) > MaxRequestSize) {
        Result = OutcomeCode::TooLong;
        HandleOutcome();
        return;
    }
    Letter = SendLetter::Busy;
    Raise(SendEvent::Connect);
    LookupTicket = 0;
    LastActivity = host_->SlotClock().now();
    host_->SendSlotChanged(index_);
    if (Conn)
        Conn->Close();
    auto *connection = new Connection(ConnectionKind::Send, this);
    Conn = connection;
    connect(connection, &Connection::Connected, this, &SendChannel::OnConnected);
    connect(connection, &Connection::ReadyRead, this, [this] { OnData(); });
    connect(connection, &Connection::BytesWritten, this, &SendChannel::OnBytesWritten);
    connect(connection, &Connection::Closed, this, &SendChannel::OnClosed);
    connect(connection, &Connection::Failed, this, &SendChannel::OnError);
    connect(connection, &Connection::Encrypted, this, &SendChannel::OnEncrypted);
    connect(connection, &Connection::HandshakeFailed, this, &SendChannel::OnHandshakeFailed);
    host_->Dial(*connection, Host, Port);
}

bool SendChannel::OpenFile()
{
    // Opened without blocking and checked as opened: a FIFO put in the file's place (by accident
    // or by another user) must not hold up the engine, and the size is the opened file's.
    const int fd = OpenRegularFile(FilePath);
    if (fd < 0)
        return false;
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    FileSize = file->size();
    if (FileSize < 1)
        return false;
    FileName = FileNameOf(FilePath);
    FileHandle = std::move(file);
    return true;
}

void SendChannel::OnConnected()
{
    LastActivity = host_->SlotClock().now();
    if (host_->Stopping() || !Conn)
        return;
    Host = AddressText(Conn->PeerAddress());
    BytesSent = 0;
    const QHostAddress local = Conn->LocalAddress();
    if (!local.isLoopback())
        host_->LocalEndSeen(local);
    host_->SlotStatusChanged();
}

void SendChannel::OnData(const QByteArray &arrived)
{
    if (host_->Stopping() || !InUse())
        return;
    const qsizetype before = Buffer.size();
    if (Conn && Conn->BytesAvailable() > 0)
        Buffer += Conn->ReadAll();
    Buffer += arrived;
    // The receiver is active when a greeting or reply of its ends in what came: bytes that make
    // none, or that come while the file goes out or after it, must not hold the slot for ever.
    const bool messageEnded = Buffer.indexOf(Terminator, std::max<qsizetype>(before - 1, 0)) >= 0;
    if (messageEnded && (State == SendState::Connecting || State == SendState::Requested))
        LastActivity = host_->SlotClock().now();
    switch (State) {
    case SendState::Connecting:
        if (HasTerminator(Buffer) && !TakeUpgradeReply())
            return OnGreeting();
        break;
    case SendState::Requested:
        if (!BatchFiles.empty()) {
            // Replies not yet whole are bounded below like anything else the receiver sends.
            OnBatchReplies();
            break;
        }
        if (HasTerminator(Buffer))
            return OnReply();
        break;
    default:
        break;
    }
    // No reply is this long: a receiver that sends more than one could hold is not kept in memory.
    if (Buffer.size() > MaxRequestSize)
        Buffer.clear();
}

void SendChannel::OnGreeting()
{
    const QByteArray greeting = Buffer;
    Buffer.clear();
    // No WELCOME ends the attempt; otherwise the request goes out now or after the upgrade, and
    // where the receiver offers it this user's other due rows go with it over the same connection.
    AnswerGreeting(greeting);
}

void SendChannel::WriteRequest()
{
    Raise(SendEvent::Welcome);
    if (Conn)
        Conn->Write(BuildRequest(RandomDigits(), LoginName, Password, FileName, FileSize, Message));
}

void SendChannel::OnReply()
{
    const QByteArray reply = Buffer;
    Buffer.clear();
    const QByteArray code = ReplyCode(reply);
    PinAfterReply(code);
    if (code != AcceptCode) {
        Result = code;
        HandleOutcome();
        return;
    }
    const int64_t offset = ResumeOffset(reply);
    const ResumePlan plan = PlanResume(offset, FileSize);
    if (plan.code == OutcomeCode::BadOffset) {
        Result = plan.code;
        HandleOutcome();
        return;
    }
    if (offset != 0 && !FileHandle->seek(offset)) {
        Result = OutcomeCode::FileError;
        HandleOutcome();
        return;
    }
    host_->LogLine("Sending file " + FilePath + " starting at " + ToDecimal(offset) + " bytes to " + UserName);
    BytesLeft = plan.bytesLeft;
    if (!plan.code.isEmpty()) {
        Result = plan.code;
        HandleOutcome();
        return;
    }
    Raise(SendEvent::Accept);
    SendStarted = LastPieceAt = host_->SlotClock().now();
    SendNextBatch();
}

bool SendChannel::ReadBatch()
{
    if (host_->Stopping() || State != SendState::Sending || !FileHandle)
        return false;
    LastPieceAt = host_->SlotClock().now();
    // Whole pieces, as many as one batch holds; only the file's last piece is shorter.
    const int64_t batch = Conn && Conn->IsEncrypting() ? EncryptedBatchSize : BatchSize;
    const int64_t want = std::min(BytesLeft, batch);
    if (Piece.size() < batch)
        Piece.resize(batch);
    int64_t got = 0;
    while (got < want) {
        const qint64 n = FileHandle->read(Piece.data() + got, want - got);
        if (n <= 0)
            break;
        got += n;
    }
    if (got != want) {
        // The file shrank or cannot be read any more.
        EndWithFileError();
        return false;
    }
    BatchLength = want;
    CountSent(want);
    return true;
}

void SendChannel::CountSent(int64_t bytes)
{
    BytesSent += bytes;
    BytesLeft -= bytes;
    const int before = PercentDone;
    if (BytesLeft < 1) {
        PercentDone = 100;
    } else {
        const double pct = RoundHalfEven(static_cast<double>(FileSize - BytesLeft) * 100.0 /
                                         static_cast<double>(FileSize));
        PercentDone = static_cast<int>(std::clamp(pct, 0.0, 100.0));
    }
    if (PercentDone != before)
        host_->SendProgress(index_);
}

void SendChannel::SendNextBatch()
{
    // Each batch is read only after the previous one was handed to the network, and only after
    // the event loop has had its turn: a zero-interval timer fires once the pending events
    // (timer ticks, other slots, the window) have been handled. One batch of at most 64 KiB
    // per turn keeps the time between turns short at any speed.
    if (batchTimer_.isActive())
        return;
    batchTimer_.start();
}

void SendChannel::SendBatch()
{
    if (!Conn || State != SendState::Sending)
        return;
    if (SendBatchFromFile())
        return;
    if (!ReadBatch())
        return;
    if (Conn->WriteBatch(Piece.constData(), BatchLength)) {
        // The kernel took the whole batch: no bytesWritten event follows.
        OnBytesWritten();
        return;
    }
    // The flush normally reports the send complete itself through bytesWritten, which has then
    // queued the next batch or moved on to "095"; only when it did not is it handled here.
    Conn->Flush();
    if (Conn && Conn->BytesToWrite() == 0 && !batchTimer_.isActive() && State == SendState::Sending)
        OnBytesWritten();
}

void SendChannel::OnBytesWritten()
{
    LastActivity = host_->SlotClock().now();
    if (host_->Stopping() || !Conn || State != SendState::Sending || Conn->BytesToWrite() > 0 ||
        batchTimer_.isActive())
        return;
    if (BytesLeft >= 1 || (!BatchFiles.empty() && NextBatchFile())) {
        SendNextBatch();
    } else if (State == SendState::Sending) {
        Raise(SendEvent::AllSent);
        Result = OutcomeCode::Sent;
    }
}

void SendChannel::OnClosed()
{
    LastActivity = host_->SlotClock().now();
    if (!InUse())
        return;
    Result = SendCloseOutcome(State, BytesLeft);
    // A close during the upgrade came after the WELCOME: the receiver dropped the connection.
    if (Result == OutcomeCode::NoWelcome && Tls.step != ChannelEncryption::Plain)
        Result = OutcomeCode::Closed;
    // Every byte handed over is not every byte taken: a receiver that reset the connection
    // dropped what it had not read.
    if (Result == OutcomeCode::Sent && Conn && Conn->PeerReset())
        Result = QByteArray::number(ErrReset);
    HandleOutcome();
}

void SendChannel::OnError(int errorNumber)
{
    LastActivity = host_->SlotClock().now();
    if (!InUse())
        return;
    Result = QByteArray::number(errorNumber);
    if (Letter != SendLetter::Disabled)
        HandleOutcome();
}

void SendChannel::Tick(const QDateTime &now)
{
    // Every state of a connection; the lookup ("010") has its own time limit.
    if (InUse() && AbsSecondsBetween(LastActivity, now) > TransferSilenceLimitSeconds) {
        Result = OutcomeCode::TimedOut;
        HandleOutcome();
    }
}

void SendChannel::Abort(const QByteArray &code)
{
    if (Letter == SendLetter::Idle || Letter == SendLetter::Disabled)
        return;
    Result = code;
    HandleOutcome();
}

void SendChannel::HandleOutcome()
{
    if (State == SendState::Finished)
        return;
    // The attempt is over from here on, so nothing that happens while it winds down ends it twice.
    const SendState from = State;
    Raise(SendEvent::End);
    batchTimer_.stop();
    const Outcome outcome = ClassifyOutcome(Result, UserName, FileName, FilePath);
    if (!BatchFiles.empty()) {
        // Every file of a batch not ended yet ends with the attempt's outcome.
        for (BatchFile &f : BatchFiles)
            if (!f.ended)
                EndBatchFile(f, Result);
    } else {
        // A failure once a connection was tried names the address it was tried at.
        const bool connectionTried = from == SendState::Connecting || from == SendState::Requested ||
                                     from == SendState::Sending || from == SendState::AllSent;
        if (outcome.outcomeClass != OutcomeClass::Delivered && connectionTried && !Host.isEmpty())
            host_->LogLine(outcome.logLine + Tls.detail + " (" + Host + ":" + QByteArray::number(Port) + ")");
        else
            host_->LogLine(outcome.logLine + Tls.detail);
    }
    CloseFile();
    if (Conn) {
        Connection *connection = Conn;
        Conn = nullptr;
        connection->Abort();
    }
    if (BatchFiles.empty())
        host_->SendEnded(index_, QueueRow, outcome, Result, UserName, FileName);
    ResetForNextItem();
    Letter = SendLetter::Idle;
    host_->SendSlotChanged(index_);
    host_->SlotStatusChanged();
    host_->SendSlotFreed(index_, outcome.outcomeClass);
}

void SendChannel::EndWithFileError()
{
    if (BatchFiles.empty()) {
        Result = OutcomeCode::FileError;
    } else {
        if (BatchFile &f = BatchFiles[BatchFileAt]; !f.ended)
            EndBatchFile(f, OutcomeCode::FileError);
        Result = OutcomeCode::Closed;
    }
    HandleOutcome();
}

SlotSnapshot SendChannel::Snapshot() const
{
    SlotSnapshot snap;
    snap.direction = 'O';
    snap.number = index_ + 1;
    snap.sendLetter = Letter;
    snap.percent = PercentDone;
    snap.fileName = FileName;
    snap.peer = UserName;
    snap.bytes = BytesSent;
    snap.startTime = SendStarted;
    snap.lastTime = LastPieceAt;
    return snap;
}
