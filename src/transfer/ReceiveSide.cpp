// The receive channels: one listens on the receive port at a time; a connection is greeted,
// its request checked, its file written (or resumed), and every ending is logged by
// FinishReceive before the channel goes back to idle.
#include "transfer/Engine.h"

#include "core/FileOps.h"
#include "core/TextUtil.h"
#include "core/SocketErrors.h"
#include "transfer/Downloads.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"

#include <QThread>

using namespace Protocol;

namespace {
// Received data is gathered in memory and written once more than this has arrived.
constexpr qsizetype WriteThreshold = 20000;

QByteArray Spaced(int64_t n)
{
    return " " + QByteArray::number(static_cast<qlonglong>(n));
}
} // namespace

void Engine::SetReceivePicture(int i, ChannelPicture picture)
{
    rx_[i].Picture = picture;
    emit ReceiveChannelChanged(i);
}

int Engine::ListeningPort() const
{
    return server_ && server_->isListening() ? server_->serverPort() : 0;
}

void Engine::EnsureListening()
{
    if (ShuttingDown || listeningGuard_)
        return;
    listeningGuard_ = true;
    bool anyEnabled = false;
    bool anyListening = false;
    int i = -1;
    for (int k = 0; k < ChannelCount; ++k) {
        const ReceiveLetter letter = rx_[k].Letter;
        anyEnabled = anyEnabled || (letter != ReceiveLetter::Disabled && letter != ReceiveLetter::Unstarted);
        anyListening = anyListening || letter == ReceiveLetter::Listening;
        if (i < 0 && letter == ReceiveLetter::Idle)
            i = k;
    }
    if (!anyEnabled) {
        listeningGuard_ = false;
        return;
    }
    // The port keeps listening while every channel serves, so a caller beyond them hears BUSY
    // instead of a refused connection.
    if (!server_) {
        server_ = new ConnectionServer(this);
        connect(server_, &QTcpServer::newConnection, this, &Engine::OnNewConnection);
    }
    if (!server_->isListening() || server_->serverPort() != Prefs.ListenPort) {
        server_->close();
        if (!server_->listen(QHostAddress::Any, static_cast<quint16>(Prefs.ListenPort)) &&
            !server_->listen(QHostAddress::Any, static_cast<quint16>(Prefs.ListenPort))) {
            // Another program holds the port: say so once and try again on the next tick.
            if (!listenFailureLogged_)
                Showit("Cannot listen on port " + QByteArray::number(Prefs.ListenPort));
            listenFailureLogged_ = true;
            SetStatusPanel(2, "");
            listeningGuard_ = false;
            return;
        }
    }
    listenFailureLogged_ = false;
    if (anyListening || i < 0) {
        listeningGuard_ = false;
        return;
    }
    ReceiveChannel &rc = rx_[i];
    rc.Letter = ReceiveLetter::Listening;
    const QByteArray slot = "Listening on slot " + Spaced(i + 1);
    Showit(slot + " Port " + Spaced(Prefs.ListenPort));
    SetStatusPanel(2, slot);
    rc.Finishing = false;
    rc.ParseError.clear();
    SetReceivePicture(i, ChannelPicture::Listening);
    listeningGuard_ = false;
}

void Engine::ApplyListenPort()
{
    if (ShuttingDown)
        return;
    // The own address is shown with its port.
    emit OwnAddressChanged(ownAddress_);
    // Before communications start nothing listens; the start takes the new port.
    int listening = -1;
    bool started = false;
    for (int k = 0; k < ChannelCount; ++k) {
        started = started || rx_[k].Letter != ReceiveLetter::Unstarted;
        if (listening < 0 && rx_[k].Letter == ReceiveLetter::Listening)
            listening = k;
    }
    if (!started)
        return;
    // The router maps the new port instead of the old one.
    if (mapper_.Active())
        mapper_.ChangePort(Prefs.ListenPort);
    EnsureListening();
    // The slot that already listened says where it listens now; a port that cannot be taken has
    // been logged by EnsureListening and is tried again on every tick.
    if (listening >= 0 && ListeningPort() == Prefs.ListenPort)
        Showit("Listening on slot " + Spaced(listening + 1) + " Port " + Spaced(Prefs.ListenPort));
    if (Prefs.AddressType == AddressKind::Dynamic)
        PostOpenPage();
}

void Engine::OnNewConnection()
{
    while (server_ && server_->hasPendingConnections()) {
        QSslSocket *socket = server_->NextPendingSocket();
        if (!socket)
            break;
        int listening = -1;
        for (int k = 0; k < ChannelCount && listening < 0; ++k)
            if (rx_[k].Letter == ReceiveLetter::Listening)
                listening = k;
        auto *connection = new Connection(ConnectionKind::Receive, socket, this);
        if (ShuttingDown) {
            connection->Abort();
            continue;
        }
        if (listening < 0) {
            TurnAwayBusy(connection);
            continue;
        }
        AcceptConnection(listening, connection);
    }
}

void Engine::TurnAwayBusy(Connection *connection)
{
    // Every channel serves a caller: this one hears BUSY and is closed, so its sender tries
    // again later. No channel is taken for it.
    const QByteArray peer = AddressText(connection->PeerAddress());
    Showit("Connect accepted from " + peer);
    Showit("Connection refused to " + peer);
    connection->Write(BusyGreeting);
    connection->Close();
}

void Engine::AcceptConnection(int i, Connection *connection)
{
    ReceiveChannel &rc = rx_[i];
    if (ShuttingDown) {
        connection->Abort();
        return;
    }
    rc.ResetForNextCaller();
    if (rc.Conn)
        rc.Conn->Close();
    rc.Conn = connection;
    rc.LastActivity = clock_.now();
    connect(connection, &Connection::ReadyRead, this, [this, i] { OnReceiveData(i); });
    connect(connection, &Connection::Closed, this, [this, i] { OnReceiveClosed(i); });
    connect(connection, &Connection::Failed, this, [this, i](int errorNumber) { OnReceiveError(i, errorNumber); });
    connect(connection, &Connection::BytesWritten, this, [this, i] { OnReceiveBytesWritten(i); });
    const QHostAddress local = connection->LocalAddress();
    if (!local.isLoopback())
        ShowOwnAddress(AddressText(local));
    rc.PeerAddress = AddressText(connection->PeerAddress());
    Showit("Connect accepted from " + rc.PeerAddress);
    rc.Letter = ReceiveLetter::Connected;
    SetReceivePicture(i, ChannelPicture::Active);
    // Every channel serves its caller, the last idle one too; callers beyond them are turned
    // away by OnNewConnection.
    SendWelcome(i);
    EnsureListening();
    RefreshChannelStatus();
}

void Engine::SendWelcome(int i)
{
    if (ShuttingDown)
        return;
    EnsureListening();
    ReceiveChannel &rc = rx_[i];
    rc.Buffer.clear();
    rc.State = NextReceiveState(rc.State, ReceiveEvent::Welcome);
    rc.GreetedAt = clock_.now();
    rc.Conn->Write(WelcomeGreeting);
}

void Engine::ReadIntoBuffer(ReceiveChannel &rc)
{
    // What the socket holds (at most its capped read buffer) is appended to the slot's own
    // buffer, which keeps its room between writes: one copy out of the socket, no allocation per
    // read once the buffer has grown to its working size.
    const qint64 available = rc.Conn->BytesAvailable();
    if (available <= 0)
        return;
    const qsizetype before = rc.Buffer.size();
    rc.Buffer.resize(before + available);
    const qint64 got = rc.Conn->Read(rc.Buffer.data() + before, available);
    rc.Buffer.resize(before + std::max<qint64>(got, 0));
}

void Engine::OnReceiveData(int i)
{
    ReceiveChannel &rc = rx_[i];
    rc.LastActivity = clock_.now();
    if (ShuttingDown || rc.Finishing || !rc.Conn)
        return;
    if (rc.KernelPath && ReceiveFromKernel(i))
        return;
    ReadIntoBuffer(rc);
    if (rc.State == ReceiveState::Greeted) {
        const RequestFraming framing = FrameRequest(rc.Buffer);
        if (framing == RequestFraming::Complete) {
            ParseRequest(i);
        } else if (framing == RequestFraming::TooLong) {
            rc.Buffer.clear();
            SendRefusal(i, BadRequestCode);
        }
    } else if (rc.State == ReceiveState::Receiving) {
        if (rc.Buffer.size() + rc.BytesReceived < rc.AnnouncedSize) {
            if (rc.Buffer.size() <= WriteThreshold)
                return;
            if (!WriteBuffered(i, rc.LastActivity)) {
                rc.Result = CannotCreateCode;
                FinishReceive(i);
                return;
            }
            const int before = rc.Percent;
            rc.Percent = rc.AnnouncedSize < 1
                             ? 0
                             : static_cast<int>(RoundHalfEven(static_cast<double>(rc.BytesReceived) * 100.0 /
                                                              static_cast<double>(rc.AnnouncedSize)));
            if (rc.Percent != before)
                AnnounceProgress('I', i);
        } else {
            WriteBuffered(i, rc.LastActivity);
            rc.Result = OutcomeCode::Closed;
            rc.Percent = 100;
            FinishReceive(i);
        }
    } else if (rc.State == ReceiveState::Closing) {
        rc.Buffer.clear();
    }
}

void Engine::OnReceiveClosed(int i)
{
    ReceiveChannel &rc = rx_[i];
    rc.LastActivity = clock_.now();
    if (ShuttingDown || rc.Finishing)
        return;
    // Data that came with the close is still the peer's.
    if (rc.Conn && rc.Conn->BytesAvailable() > 0)
        OnReceiveData(i);
    if (rc.Finishing || rc.State == ReceiveState::Idle || rc.Letter != ReceiveLetter::Connected)
        return;
    rc.Result = OutcomeCode::Closed;
    FinishReceive(i);
}

void Engine::OnReceiveError(int i, int errorNumber)
{
    ReceiveChannel &rc = rx_[i];
    rc.LastActivity = clock_.now();
    // Only a connected channel has a connection to end; a disabled one never does.
    if (ShuttingDown || rc.Finishing || rc.Letter != ReceiveLetter::Connected)
        return;
    rc.Result = QByteArray::number(errorNumber);
    FinishReceive(i);
}

void Engine::OnReceiveBytesWritten(int i)
{
    ReceiveChannel &rc = rx_[i];
    rc.LastActivity = clock_.now();
    if (!rc.Conn || rc.Conn->BytesToWrite() > 0)
        return;
    if (!rc.PendingReply.isEmpty() && !rc.Conn->IsUnconnected()) {
        rc.Result = rc.PendingReply;
        FinishReceive(i);
    }
}

void Engine::ParseRequest(int i)
{
    if (ShuttingDown)
        return;
    ReceiveChannel &rc = rx_[i];
    const QDateTime start = clock_.now();
    rc.PendingReply.clear();
    const QByteArray request = rc.Buffer;
    rc.Buffer.clear();
    const RequestCheck check = CheckRequest(request, [this](const QByteArray &login, const QByteArray &password) {
        return CheckLogin(Users, login, password);
    });
    rc.Login = check.login;
    rc.Password = check.password;
    QByteArray code = check.code;
    if (code.isEmpty()) {
        rc.FileName = check.fileName;
        rc.AnnouncedSize = check.announcedSize;
        if (check.hasMessage) {
            log_.AddReceivedMessage(start, rc.Login, check.message, rc.FileName);
            emit MessageReceived(rc.Login);
        }
        rc.State = NextReceiveState(rc.State, ReceiveEvent::Request);
        // The name reads by the same rule on disk as on the screen.
        const DownloadTarget target = DownloadTargetFor(paths_.DownloadsFolder, TextFromBytes(rc.FileName));
        rc.Path = target.path;
        rc.UnsafeName = !target.contained;
        bool beingWritten = false;
        for (int k = 0; k < ChannelCount; ++k)
            beingWritten = beingWritten || (k != i && rx_[k].FileOpen && rx_[k].Path == rc.Path);
        if (target.contained && FileExists(rc.Path))
            rc.ExistingSize = std::max<int64_t>(0, FileLength(rc.Path));
        code = DownloadRefusal(target.contained, beingWritten, rc.ExistingSize, rc.AnnouncedSize);
    } else {
        rc.UnsafeName = check.unsafeName;
    }
    if (code.isEmpty()) {
        Showit(rc.Login + " is sending " + rc.FileName + " - " + ToDecimal(rc.AnnouncedSize) + " bytes");
        if (!OpenReceiveFile(i))
            code = CannotCreateCode;
    }
    if (code.isEmpty()) {
        rc.LastActivity = rc.StartTime = rc.LastWriteTime = clock_.now();
        rc.Timed = true;
        rc.Conn->Write(AcceptReply(rc.ExistingSize));
        StartKernelReceive(i);
        RefreshChannelStatus();
        return;
    }
    if (!ShuttingDown)
        SendRefusal(i, code);
}

void Engine::SendRefusal(int i, const QByteArray &code)
{
    // The connection ends once the reply has gone out (the send-complete handler).
    ReceiveChannel &rc = rx_[i];
    rc.ParseError = code;
    rc.PendingReply = code;
    rc.State = NextReceiveState(rc.State, ReceiveEvent::Refuse);
    rc.Conn->Write(RefusalReply(code));
}

bool Engine::OpenReceiveFile(int i)
{
    ReceiveChannel &rc = rx_[i];
    if (ShuttingDown || rc.Path.isEmpty())
        return false;
    rc.BytesReceived = 0;
    auto file = std::make_unique<QFile>(rc.Path);
    // An empty file left by an attempt that failed before its first write is resumed too.
    const bool existed = file->exists();
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const int64_t length = file->size();
    if (existed) {
        rc.BytesReceived = length;
        Showit(rc.Login + " is resuming " + rc.FileName + " at " + ToDecimal(length) + " bytes");
    }
    rc.FileHandle = std::move(file);
    rc.FileOpen = true;
    return true;
}

bool Engine::WriteBuffered(int i, const QDateTime &now)
{
    ReceiveChannel &rc = rx_[i];
    rc.ConnectionBytes += rc.Buffer.size();
    rc.LastWriteTime = now;
    const bool written = WriteReceived(i, rc.Buffer);
    rc.Buffer.resize(0); // keeps its room for the next read
    return written;
}

bool Engine::WriteReceived(int i, const QByteArray &data)
{
    ReceiveChannel &rc = rx_[i];
    if (receiveWriteDelayUs_ > 0)
        QThread::usleep(static_cast<unsigned long>(receiveWriteDelayUs_));
    if (rc.WriteFailed || !rc.FileOpen || rc.FileHandle->write(data) != data.size()) {
        // Only what reached the file counts; the next attempt resumes from there.
        rc.WriteFailed = true;
        return false;
    }
    rc.BytesReceived += data.size();
    return true;
}

void Engine::FinishReceive(int i)
{
    ReceiveChannel &rc = rx_[i];
    if (rc.Finishing || rc.Result == OutcomeCode::None)
        return;
    if (!rc.ParseError.isEmpty())
        rc.Result = rc.ParseError;
    rc.Timed = false;
    rc.Finishing = true;
    if (rc.Result == OutcomeCode::Closed && rc.State == ReceiveState::Receiving) {
        // What came with the close still goes to the file before the outcome is judged.
        if (!rc.Buffer.isEmpty())
            WriteBuffered(i, clock_.now());
        if (rc.FileOpen && !rc.FileHandle->flush())
            rc.WriteFailed = true;
    }
    ReceiveEnding ending;
    ending.code = rc.Result;
    ending.state = rc.State;
    ending.slot = i;
    ending.peerAddress = rc.PeerAddress;
    ending.login = rc.Login;
    ending.fileName = rc.FileName;
    ending.unsafeName = rc.UnsafeName;
    ending.writeFailed = rc.WriteFailed;
    ending.bytesReceived = rc.BytesReceived;
    ending.announcedSize = rc.AnnouncedSize;
    const ReceiveOutcome outcome = ClassifyReceiveEnding(ending);
    if (!outcome.logLine.isEmpty())
        Showit(outcome.logLine);
    if (outcome.fileDelivered)
        emit FileReceived(rc.Login, rc.FileName);
    // Back to idle.
    rx_[i].CloseFile();
    if (rc.Conn) {
        // A file that could not be written whole must not read as delivered to its sender, who
        // may have handed over every byte already: the connection is reset, not closed.
        if (rc.WriteFailed)
            rc.Conn->Reset();
        else
            rc.Conn->Close();
        rc.Conn = nullptr;
    }
    rc.ResetForNextCaller();
    rc.Letter = ReceiveLetter::Idle;
    SetReceivePicture(i, ChannelPicture::Idle);
    EnsureListening();
    RefreshChannelStatus();
}

void Engine::StopReceiveChannels()
{
    if (server_)
        server_->close();
    for (int i = 0; i < ChannelCount; ++i) {
        ReceiveChannel &rc = rx_[i];
        const bool active = rc.Letter == ReceiveLetter::Listening || rc.Letter == ReceiveLetter::Connected;
        rc.Letter = ReceiveLetter::Disabled;
        rc.Timed = false;
        if (active) {
            if (rc.Conn) {
                rc.Conn->Close();
                rc.Conn = nullptr;
            }
            rc.ResetForNextCaller();
            SetReceivePicture(i, ChannelPicture::Stopped);
        } else {
            emit ReceiveChannelChanged(i);
        }
    }
    for (int i = 0; i < ChannelCount; ++i)
        rx_[i].CloseFile();
}
