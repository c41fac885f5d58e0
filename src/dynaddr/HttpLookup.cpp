// One send channel's HTTP lookup client on a Qt socket.
#include "dynaddr/HttpLookup.h"

#include "core/Clock.h"
#include "core/SocketErrors.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

HttpLookup::HttpLookup(int index, const Clock &clock, QObject *parent)
    : QObject(parent), index_(index), clock_(clock)
{
    watchdog_.setInterval(WatchdogInterval);
    connect(&watchdog_, &QTimer::timeout, this, &HttpLookup::WatchdogTick);
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    // A moment past the limit, so that the clock's whole seconds have reached it.
    deadline_.setInterval(LookupLimitSeconds * 1000 + 100);
    connect(&deadline_, &QTimer::timeout, this, &HttpLookup::WatchdogTick);
    // The connection is made on the next turn of the event loop; a cut stops it.
    connectTimer_.setSingleShot(true);
    connectTimer_.setInterval(0);
    connect(&connectTimer_, &QTimer::timeout, this, &HttpLookup::Connect);
}

HttpLookup::~HttpLookup()
{
    DropSocket();
}

void HttpLookup::Start(quint64 id, const QByteArray &url)
{
    Cut();
    id_ = id;
    running_ = true;
    reader_.Begin(url);
    started_ = activity_ = clock_.now();
    watchdog_.start();
    deadline_.start();
    connectTimer_.start();
}

void HttpLookup::Connect()
{
    if (!running_)
        return;
    const std::optional<HttpUrl> &url = reader_.Url();
    if (!url || url->Host.isEmpty() || url->Port() == 0) {
        // Nothing to connect to: the lookup fails as a connection that never came up.
        reader_.Diagnose("* Unusable URL");
        End();
        return;
    }
    QTcpSocket *socket = nullptr;
    if (url->Tls) {
        auto *ssl = new QSslSocket(this);
        // The system's certificate store, and any certificate added for this engine; an error
        // in the peer's certificate ends the handshake and with it the lookup.
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        // Adding certificates would stop the store from loading on demand: name it whole.
        if (!extraCa_.isEmpty())
            config.setCaCertificates(QSslConfiguration::systemCaCertificates() + extraCa_);
        config.setPeerVerifyMode(QSslSocket::VerifyPeer);
        ssl->setSslConfiguration(config);
        connect(ssl, &QSslSocket::encrypted, this, &HttpLookup::OnConnected);
        connect(ssl, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
            for (const QSslError &e : errors)
                reader_.Diagnose("* Certificate: " + e.errorString().toUtf8());
        });
        connect(ssl, &QTcpSocket::connected, this, [this] { activity_ = clock_.now(); });
        socket = ssl;
    } else {
        socket = new QTcpSocket(this);
        connect(socket, &QTcpSocket::connected, this, &HttpLookup::OnConnected);
    }
    socket_ = socket;
    connect(socket, &QTcpSocket::readyRead, this, &HttpLookup::OnData);
    connect(socket, &QTcpSocket::disconnected, this, &HttpLookup::OnClosed);
    connect(socket, &QTcpSocket::errorOccurred, this, &HttpLookup::OnError);
    const QString host = QString::fromLatin1(url->Host);
    const auto port = static_cast<quint16>(url->Port());
    if (url->Tls)
        static_cast<QSslSocket *>(socket)->connectToHostEncrypted(host, port);
    else
        socket->connectToHost(host, port);
}

void HttpLookup::OnConnected()
{
    if (!running_ || !socket_)
        return;
    activity_ = clock_.now();
    for (const QByteArray &line : reader_.Connected())
        socket_->write(line);
}

void HttpLookup::OnData()
{
    if (!running_ || !socket_)
        return;
    const QByteArray bytes = socket_->readAll();
    if (bytes.isEmpty())
        return;
    activity_ = clock_.now();
    if (!reader_.Data(bytes))
        End();
}

void HttpLookup::OnClosed()
{
    if (!running_ || !socket_)
        return;
    // Whatever arrived before the close is part of the page.
    OnData();
    if (!running_)
        return;
    reader_.ServerClosed();
    End();
}

void HttpLookup::OnError(QAbstractSocket::SocketError error)
{
    if (!running_ || !socket_)
        return;
    // The server's close is the normal end of the body.
    if (error == QAbstractSocket::RemoteHostClosedError) {
        OnClosed();
        return;
    }
    reader_.SocketError(ClassicErrorNumber(error));
    End();
}

void HttpLookup::WatchdogTick()
{
    if (!running_)
        return;
    const QDateTime now = clock_.now();
    if (AbsSecondsBetween(activity_, now) > LookupSilenceLimitSeconds) {
        reader_.Silence();
        End();
    } else if (AbsSecondsBetween(started_, now) >= LookupLimitSeconds) {
        // A server that drips a byte now and then is never silent for long, but cannot hold the
        // lookup (and with it the send channel) either.
        reader_.TookTooLong(LookupLimitSeconds);
        End();
    }
}

void HttpLookup::End()
{
    watchdog_.stop();
    deadline_.stop();
    connectTimer_.stop();
    DropSocket();
    running_ = false;
    const QByteArray page = reader_.End();
    emit Done(index_, id_, page);
}

void HttpLookup::Cut()
{
    if (!running_)
        return;
    watchdog_.stop();
    deadline_.stop();
    connectTimer_.stop();
    DropSocket();
    running_ = false;
}

void HttpLookup::DropSocket()
{
    if (!socket_)
        return;
    QTcpSocket *socket = socket_;
    socket_ = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}
