// The FTP upload client on Qt sockets. The decisions come from FtpRules; this file keeps the
// sockets, the two timers and the order of the steps.
#include "dynaddr/FtpUpload.h"

#include "core/Clock.h"
#include "core/SocketErrors.h"
#include "dynaddr/AddressPage.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// A number with one leading blank, as the diagnostics write counts and ports.
QByteArray Spaced(int n)
{
    return ' ' + QByteArray::number(n);
}

QByteArray PageModeWord(FtpPageMode mode)
{
    return mode == FtpPageMode::Go ? "GO" : "CLOSE";
}

// The socket errors that come from TLS rather than from the network.
bool IsTlsError(QAbstractSocket::SocketError e)
{
    return e == QAbstractSocket::SslHandshakeFailedError || e == QAbstractSocket::SslInternalError ||
           e == QAbstractSocket::SslInvalidUserDataError;
}

QByteArray ProtocolText(QSsl::SslProtocol protocol)
{
    switch (protocol) {
    case QSsl::TlsV1_2: return "TLS 1.2";
    case QSsl::TlsV1_3: return "TLS 1.3";
    default: return "TLS";
    }
}

} // namespace

FtpUpload::FtpUpload(const Clock &clock, QObject *parent) : QObject(parent), clock_(clock)
{
    watchdog_.setInterval(WatchdogIntervalMs);
    waitTimer_.setSingleShot(true);
    connect(&watchdog_, &QTimer::timeout, this, &FtpUpload::WatchdogTick);
    connect(&waitTimer_, &QTimer::timeout, this, &FtpUpload::WaitTimerTick);
}

FtpUpload::~FtpUpload()
{
    CloseSockets();
}

bool FtpUpload::Start(FtpPageMode mode, const FtpJob &job)
{
    if (Busy()) {
        AddDiagnostic("* Busy: " + PageModeWord(mode) + " ignored");
        return false;
    }
    mode_ = mode;
    job_ = job;
    ResetTransfer();
    diagnostics_.clear();
    resultText_.clear();
    const std::optional<FtpTarget> target = CheckFtpStart(job.Url, job.Login, job.Password, job.PortText);
    if (!target) {
        // Refused: nothing is sent and the client is idle again.
        finished_ = true;
        AddRecord(FtpWord::Abort, "899");
        return true;
    }
    target_ = *target;
    waitTimer_.stop();
    AddDiagnostic("* Remote File = " + target_.File);
    AddDiagnostic("* Remote Site = " + target_.Site);
    AddDiagnostic("* Port = " + target_.PortText);
    AddDiagnostic("* Login = " + target_.Login);
    AddDiagnostic(QByteArray("* Password = ") + MaskedPassword);
    AddDiagnostic("* Port = " + target_.PortText);
    attempt_ = 1;
    AddRecord(FtpWord::Go, "000");
    AddDiagnostic("*-----Attempt number" + Spaced(attempt_) + "-----");
    OpenControl();
    return true;
}

void FtpUpload::Abort()
{
    statusCode_ = "884";
    FinishTransfer();
}

void FtpUpload::ResetTransfer()
{
    connectWatch_ = activityWatch_ = false;
    retryWaiting_ = false;
    finished_ = false;
    step_ = FtpReplyStep::None;
    reader_.Clear();
    page_.clear();
    storeAccepted_ = pageSent_ = pageWritten_ = false;
    controlHandshaking_ = ticketReceived_ = awaitingTicket_ = ticketWaitOver_ = dataEncrypted_ = false;
    passivePort_ = 0;
}

void FtpUpload::OpenControl()
{
    CloseSockets();
    statusCode_ = "000";
    reader_.Clear();
    page_.clear();
    storeAccepted_ = pageSent_ = pageWritten_ = false;
    controlHandshaking_ = ticketReceived_ = awaitingTicket_ = ticketWaitOver_ = dataEncrypted_ = false;
    passivePort_ = 0;
    step_ = FtpReplyStep::None;
    expected_ = "220";
    connectWatch_ = true;
    activityWatch_ = false;
    controlStartTime_ = clock_.now();
    watchdog_.start();
    // In the clear until the server has agreed to TLS ("ftpes://" only).
    auto *socket = new QSslSocket(this);
    control_ = socket;
    connect(socket, &QTcpSocket::connected, this, &FtpUpload::OnControlConnected);
    connect(socket, &QTcpSocket::readyRead, this, &FtpUpload::OnControlData);
    connect(socket, &QTcpSocket::disconnected, this, &FtpUpload::OnControlClosed);
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError e) {
        if (IsTlsError(e))
            TlsFailed("* TLS failed on the control connection: " + socket->errorString().toUtf8());
        // The server's close arrives as its own event.
        else if (e != QAbstractSocket::RemoteHostClosedError)
            OnControlError(ClassicErrorNumber(e));
    });
    connect(socket, &QSslSocket::encrypted, this, &FtpUpload::OnControlEncrypted);
    connect(socket, &QSslSocket::newSessionTicketReceived, this, &FtpUpload::OnSessionTicket);
    WatchTls(socket, "control");
    // IPv4 only: the PORT argument and the page carry a dotted-decimal address.
    socket->connectToHost(QString::fromLatin1(target_.Site), static_cast<quint16>(target_.Port),
                          QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void FtpUpload::OnControlConnected()
{
    if (finished_)
        return;
    bool isV4 = false;
    localIPv4_ = control_->localAddress().toIPv4Address(&isV4);
    activityWatch_ = true;
    connectWatch_ = false;
    lastActivityTime_ = clock_.now();
    AddDiagnostic("* Control Port Connected");
    AddRecord(FtpWord::Disk, "000");
    if (!isV4) {
        AddDiagnostic("* Connect Status " + statusCode_);
        statusCode_ = "803";
        AddDiagnostic("* Connect Status " + statusCode_);
        FinishTransfer();
    }
}

void FtpUpload::OnControlData()
{
    if (finished_ || !control_)
        return;
    const FtpReplyReader::Result reply = reader_.Feed(control_->readAll());
    for (const QByteArray &line : reply.Lines) {
        statusCode_ = line.left(3);
        AddDiagnostic("< " + line);
    }
    if (reply.Overflow) {
        AddDiagnostic("* Reply line longer than" + Spaced(static_cast<int>(FtpReplyReader::LineLimit)) + " bytes");
        statusCode_ = "809";
        FinishTransfer();
        return;
    }
    if (reply.Lines.isEmpty() || !reply.Final)
        return;
    // Only a complete reply is activity: a server that keeps sending pieces of lines or
    // continuation lines is as good as silent.
    lastActivityTime_ = clock_.now();
    if (DataMayFlow(reply.Code, expected_)) {
        storeAccepted_ = true;
        SendPageWhenDue();
    }
    const QByteArray &finalLine = reply.Lines.constLast();
    ActOnReply(DecideFtpReply(finalLine, expected_, step_, pageWritten_, target_.Tls), finalLine);
}

void FtpUpload::OnControlEncrypted()
{
    if (finished_ || !control_)
        return;
    controlHandshaking_ = false;
    lastActivityTime_ = clock_.now();
    AddDiagnostic("* " + ProtocolText(control_->sessionProtocol()) + " on the control connection");
    ActOnReply(FtpReplyAction::SendUser);
}

void FtpUpload::OnSessionTicket()
{
    ticketReceived_ = true;
    if (finished_ || !awaitingTicket_)
        return;
    AddDiagnostic("* TLS session ticket received");
    ConnectPassiveData();
}

QSslConfiguration FtpUpload::TlsConfiguration() const
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    // Adding certificates would stop the system's store from loading on demand: name it whole.
    if (!extraCa_.isEmpty())
        config.setCaCertificates(QSslConfiguration::systemCaCertificates() + extraCa_);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    // The session is kept so that the data connection can resume it: servers take that as the
    // proof that the data connection comes from the client they logged in.
    config.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    return config;
}

void FtpUpload::WatchTls(QSslSocket *socket, const QByteArray &which)
{
    // Each error fails the handshake (nothing is ignored); the words say why.
    connect(socket, &QSslSocket::sslErrors, this, [this, which](const QList<QSslError> &errors) {
        for (const QSslError &e : errors)
            AddDiagnostic("* Certificate (" + which + "): " + e.errorString().toUtf8());
    });
}

void FtpUpload::TlsFailed(const QByteArray &why)
{
    if (finished_)
        return;
    AddDiagnostic(why);
    statusCode_ = "856";
    FinishTransfer();
}

void FtpUpload::ActOnReply(FtpReplyAction action, const QByteArray &finalLine)
{
    switch (action) {
    case FtpReplyAction::Success:
        statusCode_ = "852";
        FinishTransfer();
        break;
    case FtpReplyAction::SendUser:
        expected_ = "331";
        SendCommand("USER " + target_.Login, "USER " + target_.Login);
        break;
    case FtpReplyAction::SendPass:
        expected_ = "230";
        SendCommand("PASS " + target_.Password, QByteArray("PASS ") + MaskedPassword);
        break;
    case FtpReplyAction::FailWithCode:
        FinishTransfer();
        break;
    case FtpReplyAction::SendPwd:
        step_ = FtpReplyStep::None;
        expected_ = "257";
        SendCommand("PWD", "PWD");
        break;
    case FtpReplyAction::SendType:
        step_ = FtpReplyStep::Type;
        expected_ = "200";
        SendCommand("TYPE A", "TYPE A");
        break;
    case FtpReplyAction::SendPort:
        step_ = FtpReplyStep::Port;
        expected_ = "200";
        // Some servers connect as soon as they accept PORT: the port listens before it is named.
        if (!ListenForData()) {
            statusCode_ = "851";
            FinishTransfer();
            return;
        }
        SendCommand("PORT " + portArgument_, "PORT " + portArgument_);
        break;
    case FtpReplyAction::Fail882:
        step_ = FtpReplyStep::None;
        statusCode_ = "882";
        FinishTransfer();
        break;
    case FtpReplyAction::SendStor:
        step_ = FtpReplyStep::None;
        expected_ = "150";
        SendCommand("STOR " + target_.File, "STOR  " + target_.File);
        break;
    case FtpReplyAction::Ignore:
        break;
    case FtpReplyAction::SendAuth:
        expected_ = "234";
        SendCommand("AUTH TLS", "AUTH TLS");
        break;
    case FtpReplyAction::StartTls:
        // Anything the server sent after "234" in the clear is not a reply.
        reader_.Clear();
        expected_.clear();
        controlHandshaking_ = true;
        control_->setSslConfiguration(TlsConfiguration());
        control_->startClientEncryption();
        break;
    case FtpReplyAction::Fail855:
        statusCode_ = "855";
        FinishTransfer();
        break;
    case FtpReplyAction::SendPbsz:
        step_ = FtpReplyStep::Pbsz;
        expected_ = "200";
        SendCommand("PBSZ 0", "PBSZ 0");
        break;
    case FtpReplyAction::SendProt:
        step_ = FtpReplyStep::Prot;
        expected_ = "200";
        SendCommand("PROT P", "PROT P");
        break;
    case FtpReplyAction::Fail857:
        step_ = FtpReplyStep::None;
        statusCode_ = "857";
        FinishTransfer();
        break;
    case FtpReplyAction::Fail856:
        TlsFailed("* The server failed TLS on the data connection");
        break;
    case FtpReplyAction::SendEpsv:
        step_ = FtpReplyStep::Epsv;
        expected_ = "229";
        SendCommand("EPSV", "EPSV");
        break;
    case FtpReplyAction::SendPasv:
        step_ = FtpReplyStep::Pasv;
        expected_ = "227";
        SendCommand("PASV", "PASV");
        break;
    case FtpReplyAction::ConnectData:
        // Nothing is awaited on the control connection until STOR goes out.
        step_ = FtpReplyStep::None;
        expected_.clear();
        passivePort_ = PassivePort(finalLine).value_or(0);
        ConnectPassiveData();
        break;
    }
}

void FtpUpload::SendCommand(const QByteArray &command, const QByteArray &shown)
{
    AddDiagnostic("> " + shown);
    control_->write(command + "\r\n");
}

bool FtpUpload::ListenForData()
{
    if (dataServer_) {
        dataServer_->close();
        dataServer_->deleteLater();
    }
    auto *server = new QTcpServer(this);
    dataServer_ = server;
    connect(server, &QTcpServer::newConnection, this, &FtpUpload::OnDataConnection);
    const QHostAddress local(localIPv4_);
    // A port below 1024 or one that cannot be listened on is passed over, never announced.
    const std::optional<int> port = PickDataPort(nextDataPort_, job_.ListenPort, [&](int candidate) {
        if (server->listen(local, static_cast<quint16>(candidate)))
            return true;
        AddDiagnostic("* Cannot listen on" + Spaced(candidate));
        return false;
    });
    if (!port)
        return false;
    dataPort_ = *port;
    portArgument_ = PortArgument(localIPv4_, dataPort_);
    AddDiagnostic("* LISTENING ON  " + Spaced(dataPort_));
    return true;
}

void FtpUpload::OnDataConnection()
{
    if (finished_ || !dataServer_)
        return;
    QTcpSocket *socket = nullptr;
    // Only the server the control connection talks to may open the data connection; anyone else
    // who reaches the port first is turned away and the port goes on listening.
    while ((socket = dataServer_->nextPendingConnection()) && !FromControlPeer(*socket)) {
        AddDiagnostic("* Data connection from " + socket->peerAddress().toString().toLatin1() + " refused");
        socket->abort();
        socket->deleteLater();
    }
    if (!socket)
        return;
    // One data connection per attempt: the listening ends with the first one.
    dataServer_->close();
    if (data_) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    data_ = socket;
    socket->setParent(this);
    activityWatch_ = true;
    connectWatch_ = false;
    lastActivityTime_ = clock_.now();
    AddDiagnostic("* Data Port Connected");
    WatchData(socket);
    BuildPage();
    SendPageWhenDue();
}

void FtpUpload::WatchData(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::bytesWritten, this, &FtpUpload::OnDataWritten);
    connect(socket, &QTcpSocket::disconnected, this, &FtpUpload::OnDataClosed);
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError e) {
        if (IsTlsError(e))
            TlsFailed("* TLS failed on the data connection: " + socket->errorString().toUtf8());
        else if (e != QAbstractSocket::RemoteHostClosedError)
            OnDataError(ClassicErrorNumber(e));
    });
}

void FtpUpload::BuildPage()
{
    // The date and time on the page are those of this moment.
    const QDateTime now = clock_.now();
    const QByteArray ip = job_.PageIp.isEmpty() ? QHostAddress(localIPv4_).toString().toLatin1() : job_.PageIp;
    page_ = BuildAddressPage(PageModeWord(mode_), ip, ShortDate(now), ShortTime(now),
                             job_.PagePort > 0 ? job_.PagePort : job_.ListenPort);
}

void FtpUpload::ConnectPassiveData()
{
    if (finished_ || !control_ || data_)
        return;
    // A TLS 1.3 session can be resumed only with the ticket the server sends after the handshake.
    if (control_->sessionProtocol() == QSsl::TlsV1_3 && !ticketReceived_ && !ticketWaitOver_) {
        if (!awaitingTicket_) {
            AddDiagnostic("* Waiting for the TLS session ticket");
            ticketWaitStart_ = clock_.now();
        }
        awaitingTicket_ = true;
        return;
    }
    awaitingTicket_ = false;
    auto *socket = new QSslSocket(this);
    QSslConfiguration config = TlsConfiguration();
    config.setSessionTicket(control_->sslConfiguration().sessionTicket());
    socket->setSslConfiguration(config);
    data_ = socket;
    WatchData(socket);
    WatchTls(socket, "data");
    connect(socket, &QTcpSocket::connected, this, &FtpUpload::OnPassiveDataConnected);
    connect(socket, &QSslSocket::encrypted, this, &FtpUpload::OnDataEncrypted);
    AddDiagnostic("* Data connection to port" + Spaced(passivePort_));
    // The server the control connection talks to, whatever address a PASV reply named; its
    // certificate must name the site as the control connection's did.
    socket->connectToHostEncrypted(control_->peerAddress().toString(), static_cast<quint16>(passivePort_),
                                   QString::fromLatin1(target_.Site), QIODevice::ReadWrite,
                                   QAbstractSocket::IPv4Protocol);
}

void FtpUpload::OnPassiveDataConnected()
{
    if (finished_ || !data_)
        return;
    lastActivityTime_ = clock_.now();
    AddDiagnostic("* Data Port Connected");
    BuildPage();
    // The server takes up the data connection's handshake once it has STOR.
    expected_ = "150";
    SendCommand("STOR " + target_.File, "STOR  " + target_.File);
}

void FtpUpload::OnDataEncrypted()
{
    if (finished_ || !data_)
        return;
    dataEncrypted_ = true;
    lastActivityTime_ = clock_.now();
    AddDiagnostic("* " + ProtocolText(static_cast<QSslSocket *>(data_.data())->sessionProtocol()) +
                  " on the data connection");
    SendPageWhenDue();
}

bool FtpUpload::FromControlPeer(const QTcpSocket &socket) const
{
    return control_ && socket.peerAddress().isEqual(control_->peerAddress(), QHostAddress::ConvertV4MappedToIPv4);
}

void FtpUpload::SendPageWhenDue()
{
    if (finished_ || !data_ || !storeAccepted_ || page_.isEmpty() || (target_.Tls && !dataEncrypted_))
        return;
    pageSent_ = true;
    data_->write(page_);
    page_.clear();
}

void FtpUpload::OnDataWritten()
{
    if (finished_ || !data_ || !pageSent_)
        return;
    lastActivityTime_ = clock_.now();
    if (data_->bytesToWrite() > 0)
        return;
    // The whole page is with the operating system: close, and let the server confirm with 226.
    pageWritten_ = true;
    QTcpSocket *socket = data_;
    data_ = nullptr;
    disconnect(socket, nullptr, this, nullptr);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(30000, socket, [socket] { socket->abort(); socket->deleteLater(); });
    socket->disconnectFromHost();
}

void FtpUpload::OnDataClosed()
{
    if (finished_)
        return;
    // A close (or a reset, which the socket reports alike) before the whole page went out leaves
    // the server without it.
    if (pageWritten_) {
        statusCode_ = "852";
    } else if (target_.Tls && storeAccepted_ && !dataEncrypted_) {
        // The server took STOR and then dropped the handshake (a session it would not resume).
        TlsFailed("* Data connection closed during the TLS handshake");
        return;
    } else {
        AddDiagnostic("* Data connection closed before the page was sent");
        statusCode_ = "854";
    }
    FinishTransfer();
}

void FtpUpload::OnDataError(int errorNumber)
{
    if (finished_)
        return;
    switch (errorNumber) {
    case ErrRefused: statusCode_ = "851"; break;
    case ErrHostNotFound:
    case ErrTryAgain: statusCode_ = "853"; break;
    case ErrReset: statusCode_ = "854"; break;
    default: statusCode_ = "809"; break;
    }
    FinishTransfer();
}

void FtpUpload::OnControlClosed()
{
    if (finished_)
        return;
    if (controlHandshaking_) {
        TlsFailed("* Control connection closed during the TLS handshake");
        return;
    }
    statusCode_ = "802";
    AddDiagnostic("* Connect Status " + statusCode_);
    FinishTransfer();
}

void FtpUpload::OnControlError(int errorNumber)
{
    if (finished_)
        return;
    AddDiagnostic("* Connect Status " + statusCode_);
    switch (errorNumber) {
    case ErrRefused: statusCode_ = "801"; break;
    case ErrHostNotFound:
    case ErrTryAgain: statusCode_ = "803"; break;
    case ErrReset: statusCode_ = "804"; break;
    default: statusCode_ = "809"; break;
    }
    AddDiagnostic("* Connect Status " + statusCode_);
    FinishTransfer();
}

void FtpUpload::WatchdogTick()
{
    if (finished_ || retryWaiting_)
        return;
    const QDateTime now = clock_.now();
    if (awaitingTicket_ && AbsSecondsBetween(now, ticketWaitStart_) >= TicketWaitSeconds) {
        AddDiagnostic("* No TLS session ticket within" + Spaced(TicketWaitSeconds) +
                      " seconds: the data connection starts a new session");
        ticketWaitOver_ = true;
        ConnectPassiveData();
    }
    if (connectWatch_ && AbsSecondsBetween(now, controlStartTime_) + 1 > job_.DLTimeout) {
        statusCode_ = "813";
    } else if (activityWatch_ && AbsSecondsBetween(now, lastActivityTime_) + 1 > job_.DLTimeout) {
        statusCode_ = "812";
    } else if (activityWatch_ && AbsSecondsBetween(now, controlStartTime_) + 1 > AttemptLimitSeconds()) {
        // A server that answers now and then, but never finishes, cannot hold the attempt either.
        AddDiagnostic("* Attempt longer than" + Spaced(AttemptLimitSeconds()) + " seconds");
        statusCode_ = "812";
    } else {
        return;
    }
    connectWatch_ = activityWatch_ = false;
    FinishTransfer();
}

void FtpUpload::FinishTransfer()
{
    AddDiagnostic("* Beta Diagnostic " + statusCode_);
    if (finished_)
        return;
    finished_ = true;
    retryWaiting_ = false;
    watchdog_.stop();
    waitTimer_.stop();
    connectWatch_ = activityWatch_ = false;
    CloseSockets();
    // "852" is this client's word for a page sent whole; a server that answers with it has
    // stored nothing, and its reply is one the client cannot use.
    if (statusCode_ == "852" && !pageWritten_)
        statusCode_ = "882";
    const FtpFinish f = DecideFtpFinish(statusCode_, attempt_, job_.RetryLimit);
    for (const QByteArray &line : f.Diagnostics)
        AddDiagnostic(line);
    switch (f.Ending) {
    case FtpEnding::Aborted: AddRecord(FtpWord::Abort, f.Code); break;
    case FtpEnding::Done: AddRecord(FtpWord::Done, f.Code); break;
    case FtpEnding::Failed: AddRecord(FtpWord::Error, f.Code); break;
    case FtpEnding::Retry: ScheduleRetry(); break;
    }
}

void FtpUpload::ScheduleRetry()
{
    ResetTransfer();
    ++attempt_;
    const int delay = std::max(job_.RetryDelay, 1);
    AddRecord(FtpWord::Retry, QByteArray::number(attempt_));
    AddDiagnostic("* Waiting" + Spaced(delay) + " seconds");
    waitTimer_.start(delay * 1000);
    retryWaiting_ = true;
}

void FtpUpload::WaitTimerTick()
{
    if (!retryWaiting_)
        return;
    retryWaiting_ = false;
    waitTimer_.stop();
    RestartAttempt();
}

void FtpUpload::RestartAttempt()
{
    AddDiagnostic("*-----Attempt number" + Spaced(attempt_) + "-----");
    if (statusCode_ == "884")
        return;
    AddDiagnostic("* Port = " + target_.PortText);
    OpenControl();
}

void FtpUpload::CloseSockets()
{
    if (control_) {
        disconnect(control_, nullptr, this, nullptr);
        control_->abort();
        control_->deleteLater();
        control_ = nullptr;
    }
    if (dataServer_) {
        disconnect(dataServer_, nullptr, this, nullptr);
        dataServer_->close();
        dataServer_->deleteLater();
        dataServer_ = nullptr;
    }
    if (data_) {
        disconnect(data_, nullptr, this, nullptr);
        data_->abort();
        data_->deleteLater();
        data_ = nullptr;
    }
}

void FtpUpload::AddDiagnostic(const QByteArray &line)
{
    if (diagnostics_.size() >= DiagnosticLimit)
        diagnostics_ = " ";
    diagnostics_ += line + "\r\n";
}

void FtpUpload::AddRecord(FtpWord word, const QByteArray &code)
{
    const FtpRecord record{word, code};
    resultText_ += FormatFtpRecord(record);
    emit Record(record);
}
