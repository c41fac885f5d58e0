// The engine's receive side: the listening port, which receive slot takes the next caller, the
// caller turned away when every slot serves, and what the slots ask of the engine.
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
QByteArray Spaced(int64_t n)
{
    return " " + QByteArray::number(static_cast<qlonglong>(n));
}
} // namespace

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
    int listening = -1;
    int i = -1;
    for (int k = 0; k < ChannelCount; ++k) {
        const ReceiveLetter letter = rx_[k].Letter;
        anyEnabled = anyEnabled || (letter != ReceiveLetter::Disabled && letter != ReceiveLetter::Unstarted);
        if (listening < 0 && letter == ReceiveLetter::Listening)
            listening = k;
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
        connect(server_, &QTcpServer::acceptError, this, &Engine::OnAcceptFailed);
    }
    if (!server_->isListening() || server_->serverPort() != Prefs.ListenPort) {
        server_->close();
        if (!server_->listen(QHostAddress::Any, static_cast<quint16>(Prefs.ListenPort)) &&
            !server_->listen(QHostAddress::Any, static_cast<quint16>(Prefs.ListenPort))) {
            // Another program holds the port: say so once and try again on the next tick.
            if (!listenFailureLogged_)
                Showit("Cannot listen on port " + QByteArray::number(Prefs.ListenPort) + ": " +
                       (server_->serverError() == QAbstractSocket::AddressInUseError
                            ? QByteArray("the port is in use by another program or installation; another port "
                                         "can be set in Preferences")
                            : server_->errorString().toLocal8Bit()));
            listenFailureLogged_ = true;
            // Nothing listens now (a moved port closed the old one): no slot says it does, and
            // the slot that listens once the port is had says so in the log.
            if (listening >= 0)
                rx_[listening].StopListening();
            emit ListenFailed();
            listeningGuard_ = false;
            return;
        }
        // A slot that kept its letter while the port could not be had (or moved) listens again.
        if (listening >= 0)
            emit ListeningOn(listening);
    }
    listenFailureLogged_ = false;
    if (acceptPaused_) {
        // Tried again once a tick rather than at once: a failure that lasts would otherwise spin.
        acceptPaused_ = false;
        server_->resumeAccepting();
    }
    if (listening >= 0 || i < 0) {
        listeningGuard_ = false;
        return;
    }
    Showit(ListeningText(i) + " Port " + Spaced(Prefs.ListenPort));
    rx_[i].Listen();
    emit ListeningOn(i);
    listeningGuard_ = false;
}

void Engine::ApplyListenPort()
{
    if (ShuttingDown)
        return;
    // Before communications start nothing listens; the start takes the new port.
    int listening = -1;
    bool started = false;
    for (int k = 0; k < ChannelCount; ++k) {
        started = started || rx_[k].Letter != ReceiveLetter::Unstarted;
        if (listening < 0 && rx_[k].Letter == ReceiveLetter::Listening)
            listening = k;
    }
    if (!started) {
        emit OwnAddressChanged(ownAddress_);
        return;
    }
    // The router maps the new port instead of the old one.
    if (mapper_.Active())
        mapper_.ChangePort(Prefs.ListenPort);
    EnsureListening();
    // The own address is shown with the port it is now reached on, or without one.
    emit OwnAddressChanged(ownAddress_);
    // The slot that already listened says where it listens now; a port that cannot be taken has
    // been logged by EnsureListening and is tried again on every tick.
    if (listening >= 0 && ListeningPort() == Prefs.ListenPort)
        Showit(ListeningText(listening) + " Port " + Spaced(Prefs.ListenPort));
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
        acceptFailureLogged_ = false;
        auto *connection = new Connection(ConnectionKind::Receive, socket, this);
        if (ShuttingDown) {
            connection->Abort();
            continue;
        }
        if (listening < 0) {
            TurnAwayBusy(connection);
            continue;
        }
        rx_[listening].Accept(connection);
    }
}

void Engine::OnAcceptFailed()
{
    // The server stops accepting after a failed accept; left so, the port would keep listening
    // with nobody taking its callers for the rest of the run.
    acceptPaused_ = true;
    if (!acceptFailureLogged_ && server_)
        Showit("Cannot accept a connection on port " + QByteArray::number(server_->serverPort()) + ": " +
               server_->errorString().toLocal8Bit() + "; trying again");
    acceptFailureLogged_ = true;
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

void Engine::LocalEndSeen(const QHostAddress &local)
{
    ShowOwnAddress(AddressText(local));
}

bool Engine::LoginValid(const QByteArray &login, const QByteArray &password) const
{
    return CheckLogin(Users, login, password);
}

bool Engine::FileBeingReceived(int slot, const QString &path) const
{
    for (int k = 0; k < ChannelCount; ++k)
        if (k != slot && rx_[k].Holds(path))
            return true;
    return false;
}

void Engine::MessageArrived(const QDateTime &at, const QByteArray &login, const QByteArray &message,
                            const QByteArray &fileName)
{
    log_.AddReceivedMessage(at, login, message, fileName);
    emit MessageReceived(login);
}

void Engine::ReceiveEnded(int, const ReceiveOutcome &outcome, const QByteArray &login, const QByteArray &fileName)
{
    if (!outcome.logLine.isEmpty())
        Showit(outcome.logLine);
    if (outcome.fileDelivered)
        emit FileReceived(login, fileName);
}

void Engine::StopReceiveChannels()
{
    if (server_)
        server_->close();
    for (ReceiveChannel &rc : rx_)
        rc.Stop();
}
