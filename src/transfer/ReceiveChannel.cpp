// A receive slot: greets its caller, checks the request, writes (or resumes) the file and judges
// every ending in Finish before the slot goes back to idle.
#include "transfer/ReceiveChannel.h"

#include "core/Clock.h"
#include "core/FileOps.h"
#include "core/SocketErrors.h"
#include "core/TextUtil.h"
#include "core/Timers.h"
#include "transfer/BatchProtocol.h"
#include "transfer/ChannelStatus.h"
#include "transfer/Connection.h"
#include "transfer/Downloads.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"

#include <QThread>

using namespace Protocol;

namespace {
// Received data is gathered in memory and written once more than this has arrived.
constexpr qsizetype WriteThreshold = 20000;
// The same on an encrypting connection, whose data all passes through this process: in pieces
// the size of the socket's read cap, a write per 20 KB being a quarter of the receiver's system
// calls. What waits here when the connection fails is not written, as on a plain one; the file
// holds only whole writes, and the next attempt resumes from its length.
constexpr qsizetype EncryptedWriteThreshold = 256 * 1024;
// A batch that is still arriving is framed again at least after this many more bytes, so a
// request or a batch over its limit is refused at most this much later than it could be.
constexpr qsizetype BatchReframeStep = 4096;
} // namespace

void CloseSlotFile(std::unique_ptr<QFile> &file)
{
    if (file) {
        file->close();
        file.reset();
    }
}

void ReceiveChannel::Attach(int index, ReceiveHost &host)
{
    index_ = index;
    host_ = &host;
}

void ReceiveChannel::ResetForNextCaller()
{
    Raise(ReceiveEvent::End);
    Result = OutcomeCode::None;
    Refusal.clear();
    UnsafeName = WriteFailed = KernelPath = false;
    Buffer.clear();
    batchFramedUpTo_ = 0;
    PeerAddress.clear();
    Login.clear();
    Password.clear();
    FileName.clear();
    Path.clear();
    AnnouncedSize = ExistingSize = BytesReceived = ConnectionBytes = 0;
    Percent = 0;
    StartTime = LastWriteTime = GreetedAt = QDateTime();
    BatchRest.clear();
    Tls = ChannelEncryption();
}

void ReceiveChannel::SetPicture(ChannelPicture picture)
{
    picture_ = picture;
    host_->ReceiveSlotChanged(index_);
}

void ReceiveChannel::Configure(bool enabled)
{
    ResetForNextCaller();
    Letter = enabled ? ReceiveLetter::Unstarted : ReceiveLetter::Disabled;
    SetPicture(enabled ? ChannelPicture::Idle : ChannelPicture::Disabled);
}

void ReceiveChannel::Start()
{
    if (Letter != ReceiveLetter::Unstarted)
        return;
    Letter = ReceiveLetter::Idle;
    host_->ReceiveSlotChanged(index_);
}

void ReceiveChannel::Listen()
{
    Letter = ReceiveLetter::Listening;
    SetPicture(ChannelPicture::Listening);
}

void ReceiveChannel::StopListening()
{
    if (Letter != ReceiveLetter::Listening)
        return;
    Letter = ReceiveLetter::Idle;
    SetPicture(ChannelPicture::Idle);
}

void ReceiveChannel::Write(const QByteArray &bytes)
{
    if (Conn)
        Conn->Write(bytes);
}

void ReceiveChannel::Accept(Connection *connection)
{
    ResetForNextCaller();
    if (Conn)
        Conn->Close();
    Conn = connection;
    LastActivity = host_->SlotClock().now();
    if (connection) {
        connect(connection, &Connection::ReadyRead, this, [this] { OnData(); });
        connect(connection, &Connection::Closed, this, &ReceiveChannel::OnClosed);
        connect(connection, &Connection::Failed, this, &ReceiveChannel::OnError);
        connect(connection, &Connection::BytesWritten, this, &ReceiveChannel::OnReplyWritten);
        connect(connection, &Connection::Encrypted, this, &ReceiveChannel::OnEncrypted);
        connect(connection, &Connection::HandshakeFailed, this, &ReceiveChannel::OnHandshakeFailed);
        const QHostAddress local = connection->LocalAddress();
        if (!local.isLoopback())
            host_->LocalEndSeen(local);
        PeerAddress = AddressText(connection->PeerAddress());
    }
    host_->LogLine("Connect accepted from " + PeerAddress);
    Letter = ReceiveLetter::Connected;
    SetPicture(ChannelPicture::Active);
    // Every slot serves its caller, the last idle one too; callers beyond them are turned away
    // by the engine.
    SendWelcome();
    host_->ListenNext();
    host_->SlotStatusChanged();
}

void ReceiveChannel::SendWelcome()
{
    if (host_->Stopping())
        return;
    host_->ListenNext();
    Buffer.clear();
    batchFramedUpTo_ = 0;
    Raise(ReceiveEvent::Welcome);
    GreetedAt = host_->SlotClock().now();
    // Several files may come over this connection; a caller that reads only the code never sees
    // the offer.
    Write(BatchProtocol::WithOffer(Greeting(), BatchProtocol::OfferWord));
}

void ReceiveChannel::ReadIntoBuffer()
{
    // What the socket holds (at most its capped read buffer) is appended to the slot's own
    // buffer, which keeps its room between writes: one copy out of the socket, no allocation per
    // read once the buffer has grown to its working size.
    const qint64 available = Conn->BytesAvailable();
    if (available <= 0)
        return;
    const qsizetype before = Buffer.size();
    Buffer.resize(before + available);
    const qint64 got = Conn->Read(Buffer.data() + before, available);
    Buffer.resize(before + std::max<qint64>(got, 0));
}

void ReceiveChannel::OnData(const QByteArray &arrived)
{
    LastActivity = host_->SlotClock().now();
    if (host_->Stopping() || State == ReceiveState::Idle)
        return;
    if (KernelPath && Conn && ReceiveFromKernel())
        return;
    if (Conn)
        ReadIntoBuffer();
    Buffer += arrived;
    switch (State) {
    case ReceiveState::Idle:
        break;
    case ReceiveState::Greeted: {
        // A batch still arriving is framed again only once a terminator has come or another
        // BatchReframeStep bytes have: framing scans and copies the whole buffer, up to a
        // megabyte, and a caller sending a few bytes at a time must not make it do that for each.
        if (batchFramedUpTo_ > 0 && Buffer.size() < batchFramedUpTo_ + BatchReframeStep &&
            Buffer.indexOf(Protocol::Terminator, std::max<qsizetype>(batchFramedUpTo_ - 1, 0)) < 0)
            return;
        const BatchProtocol::Frame batch = BatchProtocol::FrameBatch(Buffer);
        batchFramedUpTo_ = batch.framing == BatchProtocol::Framing::Incomplete ? Buffer.size() : 0;
        if (batch.framing == BatchProtocol::Framing::Incomplete)
            return;
        if (batch.framing == BatchProtocol::Framing::Bad) {
            Buffer.clear();
            SendRefusal(BadRequestCode);
            return;
        }
        if (batch.framing == BatchProtocol::Framing::Complete) {
            Buffer.remove(0, batch.consumed);
            TakeBatch(batch.requests);
            if (State != ReceiveState::Receiving || Buffer.isEmpty())
                return;
            // File data that came with the batch is read below.
        }
        if (State == ReceiveState::Receiving)
            break;
        const RequestFraming framing = FrameRequest(Buffer);
        if (framing == RequestFraming::Complete) {
            if (!TakeUpgradeCommand())
                ParseRequest();
        } else if (framing == RequestFraming::TooLong) {
            Buffer.clear();
            SendRefusal(BadRequestCode);
        }
        // The single request's file data follows its reply.
        return;
    }
    case ReceiveState::Receiving:
        break;
    case ReceiveState::Closing:
        // A refusal is on its way out: what still arrives is thrown away.
        Buffer.clear();
        return;
    }
    if (State != ReceiveState::Receiving)
        return;
    // In a batch, each file takes its remainder and the bytes after it are the next file's.
    while (BatchBoundary() >= 0 && Buffer.size() >= BatchBoundary()) {
        const QByteArray next = Buffer.mid(BatchBoundary());
        Buffer.truncate(BatchBoundary());
        if (!WriteBuffered(LastActivity)) {
            Result = CannotCreateCode;
            Finish();
            return;
        }
        if (!NextBatchFile())
            return;
        Buffer = next;
    }
    if (Buffer.size() + BytesReceived < AnnouncedSize) {
        if (Buffer.size() <= (Conn && Conn->IsEncrypting() ? EncryptedWriteThreshold : WriteThreshold))
            return;
        if (!WriteBuffered(LastActivity)) {
            Result = CannotCreateCode;
            Finish();
            return;
        }
        UpdatePercent();
    } else {
        WriteBuffered(LastActivity);
        Result = OutcomeCode::Closed;
        Percent = 100;
        Finish();
    }
}

void ReceiveChannel::OnClosed()
{
    LastActivity = host_->SlotClock().now();
    if (host_->Stopping() || State == ReceiveState::Idle)
        return;
    // Data that came with the close is still the peer's.
    if (Conn && Conn->BytesAvailable() > 0)
        OnData();
    if (State == ReceiveState::Idle || Letter != ReceiveLetter::Connected)
        return;
    Result = OutcomeCode::Closed;
    Finish();
}

void ReceiveChannel::OnError(int errorNumber)
{
    LastActivity = host_->SlotClock().now();
    // Only a connected slot has a connection to end; a disabled one never does.
    if (host_->Stopping() || State == ReceiveState::Idle || Letter != ReceiveLetter::Connected)
        return;
    Result = QByteArray::number(errorNumber);
    Finish();
}

void ReceiveChannel::OnReplyWritten()
{
    LastActivity = host_->SlotClock().now();
    // A refusal ends the conversation once it has gone out whole.
    if (State != ReceiveState::Closing)
        return;
    if (Conn && (Conn->BytesToWrite() > 0 || Conn->IsUnconnected()))
        return;
    Result = Refusal;
    Finish();
}

void ReceiveChannel::Tick(const QDateTime &now)
{
    if (Timed() && AbsSecondsBetween(LastActivity, now) > TransferSilenceLimitSeconds) {
        Result = OutcomeCode::TimedOut;
        Finish();
    }
    // A request that never comes after the greeting holds a slot just as long.
    if (Letter == ReceiveLetter::Connected && State == ReceiveState::Greeted &&
        AbsSecondsBetween(GreetedAt, now) > TransferSilenceLimitSeconds) {
        Result = OutcomeCode::TimedOut;
        Finish();
    }
}

void ReceiveChannel::ParseRequest()
{
    if (host_->Stopping())
        return;
    const QDateTime start = host_->SlotClock().now();
    const QByteArray request = Buffer;
    Buffer.clear();
    const QByteArray code = JudgeRequest(request, start);
    if (code.isEmpty()) {
        Raise(ReceiveEvent::Request);
        LastActivity = StartTime = LastWriteTime = host_->SlotClock().now();
        Write(AcceptReply(ExistingSize));
        StartKernelReceive();
        host_->SlotStatusChanged();
        return;
    }
    if (!host_->Stopping())
        SendRefusal(code);
}

QByteArray ReceiveChannel::JudgeRequest(const QByteArray &request, const QDateTime &start)
{
    const RequestCheck check = CheckRequest(request, [this](const QByteArray &login, const QByteArray &password) {
        return host_->LoginValid(login, password);
    });
    Login = check.login;
    Password = check.password;
    FileName.clear();
    Path.clear();
    AnnouncedSize = ExistingSize = 0;
    QByteArray code = check.code;
    if (KeyRefusesRequest(check))
        code = BadLoginCode;
    if (code.isEmpty()) {
        FileName = check.fileName;
        AnnouncedSize = check.announcedSize;
        if (check.hasMessage)
            host_->MessageArrived(start, Login, check.message, FileName);
        // The name reads by the same rule on disk as on the screen.
        const DownloadTarget target = DownloadTargetFor(host_->DownloadsFolder(), TextFromBytes(FileName));
        Path = target.path;
        UnsafeName = !target.contained;
        // Another slot writes it, or this one will, earlier in its batch.
        const bool beingWritten = host_->FileBeingReceived(index_, Path) || Holds(Path);
        if (target.contained && FileExists(Path))
            ExistingSize = std::max<int64_t>(0, FileLength(Path));
        code = DownloadRefusal(target.contained, beingWritten, ExistingSize, AnnouncedSize);
    } else {
        UnsafeName = check.unsafeName;
    }
    if (code.isEmpty()) {
        host_->LogLine(Login + " is sending " + FileName + " - " + ToDecimal(AnnouncedSize) + " bytes");
        if (!OpenFile())
            code = CannotCreateCode;
    }
    return code;
}

void ReceiveChannel::SendRefusal(const QByteArray &code)
{
    // The conversation ends once the reply has gone out (OnReplyWritten).
    Refusal = code;
    Raise(ReceiveEvent::Refuse);
    Write(RefusalReply(code));
}

void ReceiveChannel::UpdatePercent()
{
    const int before = Percent;
    Percent = AnnouncedSize < 1 ? 0
                                : static_cast<int>(RoundHalfEven(static_cast<double>(BytesReceived) * 100.0 /
                                                                 static_cast<double>(AnnouncedSize)));
    if (Percent != before)
        host_->ReceiveProgress(index_);
}

bool ReceiveChannel::OpenFile()
{
    if (host_->Stopping() || Path.isEmpty())
        return false;
    BytesReceived = 0;
    auto file = std::make_unique<QFile>(Path);
    // An empty file left by an attempt that failed before its first write is resumed too.
    const bool existed = file->exists();
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const int64_t length = file->size();
    if (existed) {
        BytesReceived = length;
        host_->LogLine(Login + " is resuming " + FileName + " at " + ToDecimal(length) + " bytes");
    }
    FileHandle = std::move(file);
    return true;
}

bool ReceiveChannel::WriteBuffered(const QDateTime &now)
{
    ConnectionBytes += Buffer.size();
    LastWriteTime = now;
    const bool written = WriteReceived(Buffer);
    Buffer.resize(0); // keeps its room for the next read
    return written;
}

bool ReceiveChannel::WriteReceived(const QByteArray &data)
{
    if (const int delay = host_->ReceiveWriteDelayUs(); delay > 0)
        QThread::usleep(static_cast<unsigned long>(delay));
    if (WriteFailed || !FileHandle || FileHandle->write(data) != data.size()) {
        // Only what reached the file counts; the next attempt resumes from there.
        WriteFailed = true;
        return false;
    }
    BytesReceived += data.size();
    return true;
}

void ReceiveChannel::Finish()
{
    if (State == ReceiveState::Idle || Result == OutcomeCode::None)
        return;
    // The slot is idle from here on, so nothing that happens while it winds down ends it twice.
    const ReceiveState from = State;
    Raise(ReceiveEvent::End);
    if (from == ReceiveState::Closing)
        Result = Refusal;
    if (Result == OutcomeCode::Closed && from == ReceiveState::Receiving) {
        // What came with the close still goes to the file before the outcome is judged.
        if (!Buffer.isEmpty())
            WriteBuffered(host_->SlotClock().now());
        if (FileHandle && !FileHandle->flush())
            WriteFailed = true;
    }
    // A sender that has handed over every byte counts a close as delivery, though the last of
    // them may still be on their way: a file not whole here (not written, or not all come before
    // the watchdog) resets the connection instead.
    const bool notWhole = WriteFailed || (from == ReceiveState::Receiving &&
                                        (BytesReceived < AnnouncedSize || !BatchRest.empty()));
    ReportEnding(Result, from);
    EndBatchRest(Result);
    // Back to idle.
    CloseSlotFile(FileHandle);
    if (Conn) {
        if (notWhole)
            Conn->Reset();
        else
            Conn->Close();
        Conn = nullptr;
    }
    ResetForNextCaller();
    Letter = ReceiveLetter::Idle;
    SetPicture(ChannelPicture::Idle);
    host_->ListenNext();
    host_->SlotStatusChanged();
}

void ReceiveChannel::ReportEnding(const QByteArray &code, ReceiveState state)
{
    ReceiveEnding ending;
    ending.code = code;
    ending.state = state;
    ending.slot = index_;
    ending.peerAddress = PeerAddress;
    ending.login = Login;
    ending.fileName = FileName;
    ending.unsafeName = UnsafeName;
    ending.writeFailed = WriteFailed;
    ending.bytesReceived = BytesReceived;
    ending.announcedSize = AnnouncedSize;
    host_->ReceiveEnded(index_, ClassifyReceiveEnding(ending), Login, FileName);
}

void ReceiveChannel::Stop()
{
    const bool active = Letter == ReceiveLetter::Listening || Letter == ReceiveLetter::Connected;
    Letter = ReceiveLetter::Disabled;
    if (active) {
        if (Conn) {
            // A file still arriving is not whole: its sender must not read the end as delivery.
            if (State == ReceiveState::Receiving)
                Conn->Reset();
            else
                Conn->Close();
            Conn = nullptr;
        }
        ResetForNextCaller();
        SetPicture(ChannelPicture::Stopped);
    } else {
        host_->ReceiveSlotChanged(index_);
    }
    CloseSlotFile(FileHandle);
}

SlotSnapshot ReceiveChannel::Snapshot() const
{
    SlotSnapshot snap;
    snap.direction = 'I';
    snap.number = index_ + 1;
    snap.receiveLetter = Letter;
    snap.receiveState = State;
    snap.percent = Percent;
    snap.fileName = FileName;
    snap.peer = Login;
    snap.bytes = ConnectionBytes;
    snap.startTime = StartTime;
    snap.lastTime = LastWriteTime;
    return snap;
}
