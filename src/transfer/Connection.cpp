#include "transfer/Connection.h"

#include "core/SocketErrors.h"

#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

qint64 ReadBufferCap(ConnectionKind kind)
{
    switch (kind) {
    case ConnectionKind::Receive:
        // A disk slower than the network slows the sender down instead of growing memory.
        return 256 * 1024;
    case ConnectionKind::Send:
        return 0;
    }
    return 0;
}

namespace {
// An encrypting socket allocates and frees buffers of up to a turn's data (a few hundred KiB) on
// every turn. By default the C library maps blocks that large afresh each time and hands the top
// of its heap back whenever more than 128 KiB lie free there, so every turn faulted its buffers
// in again, page by page: several times the CPU of the decryption, and a larger read cap made it
// worse. Blocks up to 4 MiB now come from the heap, and up to 32 MiB of free heap is kept for
// the next turn; the memory in use is the same, the process merely keeps what it already had.
void KeepLargeBuffers()
{
#ifdef __GLIBC__
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
    });
#endif
}
} // namespace

QSslConfiguration TransferTlsConfiguration(const QSslKey &key, const QSslCertificate &certificate)
{
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setProtocol(QSsl::TlsV1_3);
    c.setLocalCertificate(certificate);
    c.setPrivateKey(key);
    c.setPeerVerifyMode(QSslSocket::QueryPeer);
    c.setCaCertificates({});
    return c;
}

Connection::Connection(ConnectionKind kind, QObject *parent)
    : Connection(kind, new QSslSocket(), parent)
{
}

Connection::Connection(ConnectionKind kind, QSslSocket *accepted, QObject *parent)
    : QObject(parent), kind_(kind), socket_(accepted)
{
    socket_->setParent(this);
    socket_->setReadBufferSize(ReadBufferCap(kind_));
    Wire();
}

Connection::~Connection()
{
    ReleaseWatch();
}

void Connection::ReleaseWatch()
{
    if (watchFd_ >= 0)
        ::close(watchFd_);
    watchFd_ = -1;
}

void Connection::Wire()
{
    // The descriptor is closed with the socket: no notifier of ours may watch it after that.
    connect(socket_, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state != QAbstractSocket::ConnectedState)
            DropWritable();
        // The socket reads a reset like a close, and has let go of its descriptor by the time
        // it says so. Through a duplicate the kernel still tells them apart: after the peer's
        // close the connection waits for ours, after a reset nothing is left.
        if (state != QAbstractSocket::ConnectedState && watchFd_ >= 0) {
            tcp_info info{};
            socklen_t size = sizeof info;
            if (!retired_ && getsockopt(watchFd_, IPPROTO_TCP, TCP_INFO, &info, &size) == 0)
                peerReset_ = info.tcpi_state == TCP_CLOSE;
            ReleaseWatch();
        }
    });
    connect(socket_, &QAbstractSocket::connected, this, [this] {
        if (kind_ == ConnectionKind::Send && watchFd_ < 0 && socket_->socketDescriptor() >= 0)
            watchFd_ = fcntl(static_cast<int>(socket_->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        emit Connected();
    });
    connect(socket_, &QIODevice::readyRead, this, &Connection::ReadyRead);
    connect(socket_, &QIODevice::bytesWritten, this, [this] { emit BytesWritten(); });
    connect(socket_, &QAbstractSocket::disconnected, this, &Connection::Closed);
    connect(socket_, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        // A peer's close arrives as Closed; a failed handshake as HandshakeFailed.
        if (e == QAbstractSocket::RemoteHostClosedError)
            return;
        if (encrypting_ && e == QAbstractSocket::SslHandshakeFailedError) {
            emit HandshakeFailed(socket_->errorString().toUtf8());
            return;
        }
        emit Failed(ClassicErrorNumber(e));
    });
    connect(socket_, &QSslSocket::encrypted, this, &Connection::Encrypted);
    connect(socket_, &QSslSocket::encryptedBytesWritten, this, [this] { emit BytesWritten(); });
    connect(socket_, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        // The peer's certificate is its own (self-signed) and names nobody in particular; whether
        // it is the right one is the pin's to say. Anything else fails the handshake.
        QList<QSslError> tolerated;
        for (const QSslError &e : errors)
            if (e.error() == QSslError::SelfSignedCertificate || e.error() == QSslError::HostNameMismatch)
                tolerated << e;
        if (tolerated.size() == errors.size())
            socket_->ignoreSslErrors(tolerated);
    });
}

void Connection::ConnectTo(const QString &host, quint16 port)
{
    socket_->connectToHost(host, port);
}

qint64 Connection::Write(const QByteArray &data)
{
    return socket_->write(data);
}

qint64 Connection::Write(const char *data, qint64 length)
{
    return socket_->write(data, length);
}

bool Connection::WriteBatch(const char *data, qint64 length)
{
    if (ZeroCopyAllowed() && socket_->bytesToWrite() == 0) {
        // Nothing waits in the socket's own buffer: offer the batch to the operating system
        // directly. Taken whole, it is sent; otherwise the socket carries the rest (and reports
        // any error) as usual.
        const ssize_t n = ::send(static_cast<int>(socket_->socketDescriptor()), data, static_cast<size_t>(length),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == length)
            return true;
        if (n > 0) {
            data += n;
            length -= n;
        }
    }
    socket_->write(data, length);
    return false;
}

ZeroCopy::Moved Connection::SendFile(int fileFd, int64_t offset, int64_t maxBytes)
{
    if (!ZeroCopyAllowed() || socket_->bytesToWrite() > 0 || !IsConnected()) {
        ZeroCopy::Moved refused;
        refused.refused = true;
        return refused;
    }
    return ZeroCopy::SendFromFile(fileFd, offset, static_cast<int>(socket_->socketDescriptor()), maxBytes);
}

void Connection::WaitWritable()
{
    if (!IsConnected())
        return;
    if (!writable_) {
        writable_ = new QSocketNotifier(socket_->socketDescriptor(), QSocketNotifier::Write, this);
        connect(writable_, &QSocketNotifier::activated, this, [this] {
            writable_->setEnabled(false);
            emit BytesWritten();
        });
    }
    writable_->setEnabled(true);
}

void Connection::DropWritable()
{
    if (!writable_)
        return;
    // A disabled notifier is no longer watched; it goes away once its own event has returned.
    writable_->setEnabled(false);
    writable_->deleteLater();
    writable_ = nullptr;
}

bool Connection::BeginFileReceive()
{
    if (!ZeroCopyAllowed() || !IsConnected())
        return false;
    if (!taker_)
        taker_ = std::make_unique<ZeroCopy::SocketToFile>();
    if (!taker_->usable()) {
        taker_.reset();
        return false;
    }
    socket_->setReadBufferSize(1);
    return true;
}

ZeroCopy::Moved Connection::ReceiveFile(int fileFd, int64_t fileOffset, int64_t maxBytes)
{
    ZeroCopy::Moved m;
    if (!taker_ || !ZeroCopyAllowed()) {
        m.refused = true;
        return m;
    }
    // What the socket has already read comes before anything still in the kernel.
    char buf[16384];
    while (m.bytes < maxBytes && socket_->bytesAvailable() > 0) {
        const qint64 n = socket_->read(buf, std::min<qint64>(sizeof buf, maxBytes - m.bytes));
        if (n <= 0)
            break;
        for (qint64 done = 0; done < n;) {
            const ssize_t w = pwrite(fileFd, buf + done, static_cast<size_t>(n - done), fileOffset + m.bytes);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                m.error = w < 0 ? errno : EIO;
                m.fileFailed = true;
                return m;
            }
            done += w;
            m.bytes += w;
        }
    }
    if (m.bytes >= maxBytes || !IsConnected())
        return m;
    ZeroCopy::Moved k = taker_->Take(static_cast<int>(socket_->socketDescriptor()), fileFd, fileOffset + m.bytes,
                                     maxBytes - m.bytes);
    k.bytes += m.bytes;
    return k;
}

void Connection::EndFileReceive()
{
    taker_.reset();
    socket_->setReadBufferSize(ReadBufferCap(kind_));
}

bool Connection::Flush()
{
    return socket_->flush();
}

qint64 Connection::BytesToWrite() const
{
    return socket_->bytesToWrite() + (encrypting_ ? socket_->encryptedBytesToWrite() : 0);
}

qint64 Connection::BytesAvailable() const
{
    return socket_->bytesAvailable();
}

qint64 Connection::Read(char *data, qint64 maxLength)
{
    return socket_->read(data, maxLength);
}

QByteArray Connection::ReadAll()
{
    return socket_->readAll();
}

void Connection::Close()
{
    if (retired_)
        return;
    retired_ = true;
    // The owner is done with this connection: none of its events reach it any more.
    disconnect(this, nullptr, nullptr, nullptr);
    DropWritable();
    ReleaseWatch();
    if (socket_->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    connect(socket_, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
    // Replies still in the buffer go out before the close; a peer that never reads them must
    // not keep the connection for ever.
    QTimer::singleShot(RetireLimitMs, this, [this] {
        socket_->abort();
        deleteLater();
    });
    socket_->disconnectFromHost();
}

void Connection::Abort()
{
    retired_ = true;
    disconnect(this, nullptr, nullptr, nullptr);
    DropWritable();
    ReleaseWatch();
    socket_->abort();
    deleteLater();
}

void Connection::Reset()
{
    if (IsConnected()) {
        const linger reset{1, 0};
        setsockopt(static_cast<int>(socket_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    Abort();
}

bool Connection::IsConnected() const
{
    return socket_->state() == QAbstractSocket::ConnectedState;
}

bool Connection::IsUnconnected() const
{
    return socket_->state() == QAbstractSocket::UnconnectedState;
}

QHostAddress Connection::PeerAddress() const
{
    return socket_->peerAddress();
}

QHostAddress Connection::LocalAddress() const
{
    return socket_->localAddress();
}

void Connection::StartClientEncryption(const QSslConfiguration &configuration, const QString &peerName)
{
    encrypting_ = true;
    KeepLargeBuffers();
    socket_->setReadBufferSize(EncryptingReadBufferCap);
    socket_->setSslConfiguration(configuration);
    if (!peerName.isEmpty())
        socket_->setPeerVerifyName(peerName);
    socket_->startClientEncryption();
}

void Connection::StartServerEncryption(const QSslConfiguration &configuration)
{
    encrypting_ = true;
    KeepLargeBuffers();
    socket_->setReadBufferSize(EncryptingReadBufferCap);
    socket_->setSslConfiguration(configuration);
    socket_->startServerEncryption();
}

bool Connection::IsEncrypted() const
{
    return socket_->isEncrypted();
}

QSslCertificate Connection::PeerCertificate() const
{
    return socket_->peerCertificate();
}

QSslSocket *ConnectionServer::NextPendingSocket()
{
    return static_cast<QSslSocket *>(nextPendingConnection());
}

void ConnectionServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(static_cast<int>(descriptor));
        return;
    }
    addPendingConnection(socket);
}
