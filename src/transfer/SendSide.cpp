// The send channels: one queued file to one peer over one connection, in 1024-byte pieces
// from the offset the receiver reports, and every ending handed to HandleSendOutcome.
#include "transfer/Engine.h"

#include "core/FileOps.h"
#include "core/TextUtil.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"
#include "core/SocketErrors.h"

#include <unistd.h>

using namespace Protocol;

namespace {
// Pieces are 1024 bytes; a batch of whole pieces goes to the operating system per turn.
constexpr int64_t BatchSize = 64 * 1024;
}

void Engine::SetSendPicture(int channel, ChannelPicture picture)
{
    tx_[channel].Picture = picture;
    emit SendChannelChanged(channel);
}

void Engine::StartSend(QueueRowId row, const QByteArray &userName, const QByteArray &filePath,
                       const QByteArray &message, int channel)
{
    SendChannel &sc = tx_[channel];
    sc.ResetForNextItem();
    sc.QueueRow = row;
    sc.Letter = SendLetter::Waiting;
    sc.State = NextSendState(sc.State, SendEvent::Take);
    sc.UserName = userName;
    sc.FileName = FileNameOf(filePath);
    sc.FilePath = filePath;
    const int user = FindUser(Users, userName);
    if (user < 0) {
        sc.Result = OutcomeCode::UnknownUser;
        HandleSendOutcome(channel);
        return;
    }
    const UserRecord &record = Users[user];
    sc.AddressType = DynamicOnlyIfD(FieldOf(record, UserAddressType));
    sc.UserName = FieldOf(record, UserName);
    sc.LoginName = FieldOf(record, UserSendName);
    sc.Password = FieldOf(record, UserSendPassword);
    if (sc.AddressType == AddressKind::Static) {
        sc.Host = FieldOf(record, UserAddress);
        sc.Port = static_cast<int>(LeadingInteger(FieldOf(record, UserPort), -1, 65536));
    } else {
        sc.PageURL = FieldOf(record, UserAddress);
    }
    sc.Message = message;
    RouteSend(channel);
}

void Engine::RouteSend(int channel)
{
    SendChannel &sc = tx_[channel];
    sc.Letter = SendLetter::Waiting;
    SetSendPicture(channel, ChannelPicture::Active);
    if (sc.AddressType == AddressKind::Static) {
        ConnectSend(channel);
        return;
    }
    // A request too long for any receiver ends before anyone is asked for the address.
    if (LongestRequestSize(sc.LoginName, sc.Password, FileNameOf(sc.FilePath),
                           FileLength(QString::fromLocal8Bit(sc.FilePath)), sc.Message) > MaxRequestSize) {
        sc.Result = OutcomeCode::TooLong;
        HandleSendOutcome(channel);
        return;
    }
    // The peer's address comes from its address page; OnLookupFinished carries on.
    sc.Host.clear();
    sc.Port = 0;
    sc.LookupTicket = lookup_.StartLookup(channel, sc.UserName, sc.PageURL);
    if (sc.LookupTicket == 0 && !ShuttingDown) {
        sc.Result = OutcomeCode::NoAddress;
        HandleSendOutcome(channel);
    }
}

void Engine::OnLookupFinished(int channel, quint64 ticket, const std::optional<PeerAddress> &address)
{
    if (ShuttingDown || channel < 0 || channel >= ChannelCount)
        return;
    SendChannel &sc = tx_[channel];
    // A result of an earlier lookup of this slot, or one for a slot that has moved on, is stale.
    if (ticket == 0 || ticket != sc.LookupTicket || sc.State != SendState::Taken || sc.Letter != SendLetter::Waiting)
        return;
    sc.LookupTicket = 0;
    if (address) {
        sc.Host = address->Host;
        sc.Port = address->Port;
        // Where the file goes is the page's word: it is logged.
        Showit("Address for " + sc.UserName + " is " + sc.Host + ":" + QByteArray::number(sc.Port));
        ConnectSend(channel);
    } else {
        sc.Result = OutcomeCode::NoAddress;
        HandleSendOutcome(channel);
    }
}

void Engine::ConnectSend(int channel)
{
    SendChannel &sc = tx_[channel];
    if (ShuttingDown)
        return;
    if (sc.Port < 1 || sc.Port > 65535 || TrimBlanks(sc.Host).isEmpty()) {
        sc.Result = OutcomeCode::NoAddress;
        HandleSendOutcome(channel);
        return;
    }
    const QString path = QString::fromLocal8Bit(sc.FilePath);
    if (sc.FilePath.isEmpty() || !FileExists(path) || FolderExists(path)) {
        sc.Result = OutcomeCode::FileMissing;
        HandleSendOutcome(channel);
        return;
    }
    if (!OpenSendFile(channel)) {
        sc.Result = OutcomeCode::FileError;
        HandleSendOutcome(channel);
        return;
    }
    // A receiver refuses a request over the cap for good; nobody is called for it.
    if (LongestRequestSize(sc.LoginName, sc.Password, sc.FileName, sc.FileSize, sc.Message) > MaxRequestSize) {
        sc.Result = OutcomeCode::TooLong;
        HandleSendOutcome(channel);
        return;
    }
    sc.Letter = SendLetter::Busy;
    sc.State = NextSendState(sc.State, SendEvent::Connect);
    sc.InUse = true;
    sc.LastActivity = clock_.now();
    emit SendChannelChanged(channel);
    if (sc.Conn)
        sc.Conn->Close();
    auto *connection = new Connection(ConnectionKind::Send, this);
    sc.Conn = connection;
    connect(connection, &Connection::Connected, this, [this, channel] { OnSendConnected(channel); });
    connect(connection, &Connection::ReadyRead, this, [this, channel] { OnSendData(channel); });
    connect(connection, &Connection::BytesWritten, this, [this, channel] { OnSendBytesWritten(channel); });
    connect(connection, &Connection::Closed, this, [this, channel] { OnSendClosed(channel); });
    connect(connection, &Connection::Failed, this, [this, channel](int errorNumber) { OnSendError(channel, errorNumber); });
    SetStatusPanel(1, "Connecting to " + sc.Host);
    connection->ConnectTo(QString::fromLocal8Bit(TrimBlanks(sc.Host)), static_cast<quint16>(sc.Port));
}

bool Engine::OpenSendFile(int channel)
{
    SendChannel &sc = tx_[channel];
    // Opened without blocking and checked as opened: a FIFO put in the file's place (by accident
    // or by another user) must not hold up the engine, and the size is the opened file's.
    const int fd = OpenRegularFile(sc.FilePath);
    if (fd < 0)
        return false;
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    sc.FileSize = file->size();
    if (sc.FileSize < 1)
        return false;
    sc.FileName = FileNameOf(sc.FilePath);
    sc.FileHandle = std::move(file);
    sc.FileOpen = true;
    return true;
}

void Engine::OnSendConnected(int channel)
{
    SendChannel &sc = tx_[channel];
    sc.LastActivity = clock_.now();
    if (ShuttingDown || !sc.Conn)
        return;
    sc.Host = AddressText(sc.Conn->PeerAddress());
    sc.BytesSent = 0;
    const QHostAddress local = sc.Conn->LocalAddress();
    if (!local.isLoopback())
        ShowOwnAddress(AddressText(local));
    RefreshChannelStatus();
}

void Engine::OnSendData(int channel)
{
    SendChannel &sc = tx_[channel];
    if (ShuttingDown || !sc.Conn)
        return;
    sc.Buffer += sc.Conn->ReadAll();
    sc.LastActivity = clock_.now();
    if (sc.State == SendState::Connecting && HasTerminator(sc.Buffer))
        OnGreeting(channel);
    else if (sc.State == SendState::Requested && HasTerminator(sc.Buffer))
        OnReply(channel);
    else if (sc.Buffer.size() > MaxRequestSize)
        sc.Buffer.clear(); // nothing more is expected from the receiver in this state
}

void Engine::OnGreeting(int channel)
{
    SendChannel &sc = tx_[channel];
    const QByteArray greeting = sc.Buffer;
    sc.Buffer.clear();
    if (!IsWelcome(greeting)) {
        sc.Result = OutcomeCode::NoWelcome;
        HandleSendOutcome(channel);
        return;
    }
    sc.State = NextSendState(sc.State, SendEvent::Welcome);
    sc.Conn->Write(BuildRequest(RandomDigits(), sc.LoginName, sc.Password, sc.FileName, sc.FileSize, sc.Message));
}

void Engine::OnReply(int channel)
{
    SendChannel &sc = tx_[channel];
    const QByteArray reply = sc.Buffer;
    sc.Buffer.clear();
    const QByteArray code = ReplyCode(reply);
    if (code != AcceptCode) {
        sc.Result = code;
        HandleSendOutcome(channel);
        return;
    }
    const int64_t offset = ResumeOffset(reply);
    const ResumePlan plan = PlanResume(offset, sc.FileSize);
    if (plan.code == OutcomeCode::BadOffset) {
        sc.Result = plan.code;
        HandleSendOutcome(channel);
        return;
    }
    if (offset != 0 && !sc.FileHandle->seek(offset)) {
        sc.Result = OutcomeCode::FileError;
        HandleSendOutcome(channel);
        return;
    }
    Showit("Sending file " + sc.FilePath + " starting at " + ToDecimal(offset) + " bytes to " + sc.UserName);
    sc.BytesLeft = plan.bytesLeft;
    if (!plan.code.isEmpty()) {
        sc.Result = plan.code;
        HandleSendOutcome(channel);
        return;
    }
    sc.State = NextSendState(sc.State, SendEvent::Accept);
    sc.SendStarted = sc.LastPieceAt = clock_.now();
    SendNextBatch(channel);
}

bool Engine::ReadBatch(int channel)
{
    SendChannel &sc = tx_[channel];
    if (ShuttingDown || sc.State != SendState::Sending || !sc.FileOpen)
        return false;
    sc.LastPieceAt = clock_.now();
    // Whole pieces, as many as one batch holds; only the file's last piece is shorter.
    const int64_t want = std::min(sc.BytesLeft, BatchSize);
    if (sc.Piece.size() < BatchSize)
        sc.Piece.resize(BatchSize);
    int64_t got = 0;
    while (got < want) {
        const qint64 n = sc.FileHandle->read(sc.Piece.data() + got, want - got);
        if (n <= 0)
            break;
        got += n;
    }
    if (got != want) {
        // The file shrank or cannot be read any more.
        sc.Result = OutcomeCode::FileError;
        HandleSendOutcome(channel);
        return false;
    }
    sc.BatchLength = want;
    CountSent(channel, want);
    return true;
}

void Engine::CountSent(int channel, int64_t bytes)
{
    SendChannel &sc = tx_[channel];
    sc.BytesSent += bytes;
    sc.BytesLeft -= bytes;
    const int before = sc.PercentDone;
    if (sc.BytesLeft < 1) {
        sc.PercentDone = 100;
    } else {
        const double pct = RoundHalfEven(static_cast<double>(sc.FileSize - sc.BytesLeft) * 100.0 /
                                         static_cast<double>(sc.FileSize));
        sc.PercentDone = static_cast<int>(std::clamp(pct, 0.0, 100.0));
    }
    if (sc.PercentDone != before)
        AnnounceProgress('O', channel);
}

void Engine::SendNextBatch(int channel)
{
    // Each batch is read only after the previous one was handed to the network, and only after
    // the event loop has had its turn: a zero-interval timer fires once the pending events
    // (timer ticks, other channels, the window) have been handled. One batch of at most 64 KiB
    // per turn keeps the time between turns short at any speed.
    SendChannel &sc = tx_[channel];
    if (sc.BatchQueued)
        return;
    sc.BatchQueued = true;
    sc.BatchTimer->start();
}

void Engine::SendBatch(int channel)
{
    SendChannel &sc = tx_[channel];
    sc.BatchQueued = false;
    if (!sc.Conn || sc.State != SendState::Sending)
        return;
    if (SendBatchFromFile(channel))
        return;
    if (!ReadBatch(channel))
        return;
    if (sc.Conn->WriteBatch(sc.Piece.constData(), sc.BatchLength)) {
        // The kernel took the whole batch: no bytesWritten event follows.
        OnSendBytesWritten(channel);
        return;
    }
    // The flush normally reports the send complete itself through bytesWritten, which has then
    // queued the next batch or moved on to "095"; only when it did not is it handled here.
    sc.Conn->Flush();
    if (sc.Conn && sc.Conn->BytesToWrite() == 0 && !sc.BatchQueued && sc.State == SendState::Sending)
        OnSendBytesWritten(channel);
}

void Engine::OnSendBytesWritten(int channel)
{
    SendChannel &sc = tx_[channel];
    sc.LastActivity = clock_.now();
    if (ShuttingDown || !sc.Conn || sc.State != SendState::Sending || sc.Conn->BytesToWrite() > 0 || sc.BatchQueued)
        return;
    if (sc.BytesLeft >= 1) {
        SendNextBatch(channel);
    } else {
        sc.State = NextSendState(sc.State, SendEvent::AllSent);
        sc.Result = OutcomeCode::Sent;
    }
}

void Engine::OnSendClosed(int channel)
{
    SendChannel &sc = tx_[channel];
    sc.LastActivity = clock_.now();
    if (sc.Handled || !sc.InUse)
        return;
    sc.Result = SendCloseOutcome(sc.State, sc.BytesLeft);
    // Every byte handed over is not every byte taken: a receiver that reset the connection
    // dropped what it had not read.
    if (sc.Result == OutcomeCode::Sent && sc.Conn && sc.Conn->PeerReset())
        sc.Result = QByteArray::number(ErrReset);
    HandleSendOutcome(channel);
}

void Engine::OnSendError(int channel, int errorNumber)
{
    SendChannel &sc = tx_[channel];
    sc.LastActivity = clock_.now();
    if (sc.Handled || !sc.InUse)
        return;
    sc.Result = QByteArray::number(errorNumber);
    if (sc.Letter != SendLetter::Disabled)
        HandleSendOutcome(channel);
}

void Engine::HandleSendOutcome(int channel)
{
    SendChannel &sc = tx_[channel];
    if (sc.Handled)
        return;
    sc.Handled = true;
    sc.BatchTimer->stop();
    sc.BatchQueued = false;
    sc.InUse = false;
    const Outcome outcome = ClassifyOutcome(sc.Result, sc.UserName, sc.FileName, sc.FilePath);
    // A failure once a connection was tried names the address it was tried at.
    const bool connectionTried = sc.State == SendState::Connecting || sc.State == SendState::Requested ||
                                 sc.State == SendState::Sending || sc.State == SendState::AllSent;
    if (outcome.outcomeClass != OutcomeClass::Delivered && connectionTried && !sc.Host.isEmpty())
        Showit(outcome.logLine + " (" + sc.Host + ":" + QByteArray::number(sc.Port) + ")");
    else
        Showit(outcome.logLine);
    tx_[channel].CloseFile();
    if (sc.Conn) {
        Connection *connection = sc.Conn;
        sc.Conn = nullptr;
        connection->Abort();
    }
    queue_.SetOutcomeStatus(sc.QueueRow, outcome.outcomeClass, sc.Result, clock_.nowSerial(), outcome.shortText);
    queue_.ClearChannelMark(channel);
    if (outcome.outcomeClass == OutcomeClass::Failed)
        emit SendFailed(sc.UserName, sc.FileName, "Error: " + outcome.shortText);
    sc.ResetForNextItem();
    sc.Letter = SendLetter::Idle;
    SetSendPicture(channel, ChannelPicture::Idle);
    RefreshChannelStatus();
    // A file that arrived frees its channel for the next due row at once (after the socket
    // handler that ended it has returned), so many small files do not wait a tick each.
    // Failures keep their wait for the next tick and their retry time.
    if (outcome.outcomeClass == OutcomeClass::Delivered && queueTimer_.isActive())
        QTimer::singleShot(0, this, [this] { StartNextDueItem(clock_.now()); });
}

void Engine::AbortAllSends()
{
    for (int i = 0; i < ChannelCount; ++i)
        if (tx_[i].Letter != SendLetter::Idle && tx_[i].Letter != SendLetter::Disabled) {
            tx_[i].Result = OutcomeCode::Aborted;
            HandleSendOutcome(i);
        }
}
