// The local link between a running instance and later starts of the program.
#include "app/InstanceLink.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Room for the socket's name ("/parcelwise-" and 16 hex digits) inside a socket address's
// 108 bytes, its closing NUL included.
constexpr qsizetype MaxLinkFolderLength = 107 - 28;
// A connection that says nothing is dropped after this long.
constexpr int IdleConnectionMs = 30000;

void PutLength(QByteArray &out, quint32 n)
{
    char bytes[4];
    qToBigEndian(n, bytes);
    out.append(bytes, 4);
}

quint32 GetLength(const char *p)
{
    return qFromBigEndian<quint32>(p);
}

// A folder only this user may enter: it must be a real folder (not a link), owned by the user,
// with no rights for group or others.
bool PrivateFolder(const QByteArray &path, uid_t uid)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
           (st.st_mode & 077) == 0;
}
} // namespace

QByteArray EncodeLinkMessage(const LinkMessage &message)
{
    QByteArray body;
    for (const QByteArray &item : message) {
        PutLength(body, static_cast<quint32>(item.size()));
        body += item;
    }
    QByteArray out;
    PutLength(out, static_cast<quint32>(body.size()));
    return out + body;
}

std::optional<LinkMessage> DecodeLinkMessage(const QByteArray &buffer, bool *bad)
{
    *bad = false;
    if (buffer.size() < 4)
        return std::nullopt;
    const quint32 total = GetLength(buffer.constData());
    if (total > static_cast<quint32>(MaxLinkMessage)) {
        *bad = true;
        return std::nullopt;
    }
    if (buffer.size() < 4 + static_cast<qsizetype>(total))
        return std::nullopt;
    if (buffer.size() > 4 + static_cast<qsizetype>(total)) {
        *bad = true; // one request per connection
        return std::nullopt;
    }
    LinkMessage message;
    qsizetype pos = 4;
    const qsizetype end = 4 + total;
    while (pos < end) {
        if (end - pos < 4) {
            *bad = true;
            return std::nullopt;
        }
        const quint32 n = GetLength(buffer.constData() + pos);
        pos += 4;
        if (static_cast<qsizetype>(n) > end - pos) {
            *bad = true;
            return std::nullopt;
        }
        message << buffer.mid(pos, n);
        pos += n;
    }
    return message;
}

QString LinkFolderFor(const QByteArray &runtimeDir, uid_t uid)
{
    if (!runtimeDir.isEmpty() && runtimeDir.startsWith('/') && runtimeDir.size() <= MaxLinkFolderLength &&
        PrivateFolder(runtimeDir, uid))
        return QFile::decodeName(runtimeDir);
    // The system's temporary folder is shared by everyone: the folder made there must be ours
    // and closed to others, or the link is not used at all.
    QByteArray temp = QFile::encodeName(QDir::tempPath());
    if (temp.size() + 24 > MaxLinkFolderLength)
        temp = "/tmp";
    const QByteArray folder = temp + "/parcelwise-" + QByteArray::number(uid);
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    struct stat st {};
    if (::lstat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid)
        return {};
    if ((st.st_mode & 077) != 0 && ::chmod(folder.constData(), 0700) != 0)
        return {};
    return PrivateFolder(folder, uid) ? QFile::decodeName(folder) : QString();
}

QString LinkFolder()
{
    return LinkFolderFor(qgetenv("XDG_RUNTIME_DIR"), ::getuid());
}

QString LinkNameFor(const QString &programFolder)
{
    const QFileInfo info(programFolder);
    QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty())
        canonical = QDir::cleanPath(info.absoluteFilePath());
    const QByteArray hash = QCryptographicHash::hash(QFile::encodeName(canonical), QCryptographicHash::Sha256);
    return QStringLiteral("parcelwise-") + QString::fromLatin1(hash.toHex().left(16));
}

QString LinkPath(const QString &programFolder)
{
    const QString folder = LinkFolder();
    if (folder.isEmpty())
        return {};
    return folder + QLatin1Char('/') + LinkNameFor(programFolder);
}

std::optional<uid_t> PeerUid(int socketDescriptor)
{
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (socketDescriptor < 0 || ::getsockopt(socketDescriptor, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
        len != sizeof cred)
        return std::nullopt;
    return cred.uid;
}

bool PeerAllowed(std::optional<uid_t> peer, uid_t own)
{
    return peer.has_value() && *peer == own;
}

LinkServer::LinkServer(Handler handler, QObject *parent)
    : QObject(parent), handler_(std::move(handler)), server_(new QLocalServer(this))
{
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &LinkServer::OnConnection);
}

LinkServer::~LinkServer()
{
    server_->close(); // removes the socket file
}

bool LinkServer::Listen(const QString &path)
{
    if (path.isEmpty())
        return false;
    if (!server_->listen(path)) {
        if (server_->serverError() != QAbstractSocket::AddressInUseError)
            return false;
        QLocalServer::removeServer(path);
        if (!server_->listen(path))
            return false;
    }
    ::chmod(QFile::encodeName(path).constData(), 0600);
    return true;
}

QString LinkServer::Path() const
{
    return server_->fullServerName();
}

QString LinkServer::ErrorText() const
{
    return server_->errorString();
}

void LinkServer::OnConnection()
{
    while (QLocalSocket *socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        const std::optional<uid_t> peer = PeerUid(static_cast<int>(socket->socketDescriptor()));
        if (!PeerAllowed(peer, ::getuid())) {
            emit Rejected(peer.value_or(static_cast<uid_t>(-1)));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnData(socket); });
        QTimer::singleShot(IdleConnectionMs, socket, [socket] { socket->abort(); });
        if (socket->bytesAvailable() > 0)
            OnData(socket);
    }
}

void LinkServer::OnData(QLocalSocket *socket)
{
    QByteArray buffer = socket->property("linkBuffer").toByteArray() + socket->readAll();
    bool bad = false;
    const std::optional<LinkMessage> request = DecodeLinkMessage(buffer, &bad);
    if (bad) {
        socket->abort();
        return;
    }
    if (!request) {
        socket->setProperty("linkBuffer", buffer);
        return;
    }
    socket->setProperty("linkBuffer", QByteArray());
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    LinkMessage reply = request->isEmpty() ? LinkMessage{LinkVerb::Refused, "empty request"} : handler_(*request);
    socket->write(EncodeLinkMessage(reply));
    socket->disconnectFromServer(); // after what is written has gone
}

std::optional<LinkMessage> AskInstance(const QString &path, const LinkMessage &request, int timeoutMs)
{
    if (path.isEmpty())
        return std::nullopt;
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
        return std::nullopt;
    socket.write(EncodeLinkMessage(request));
    while (socket.bytesToWrite() > 0)
        if (deadline.hasExpired() || !socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
            return std::nullopt;
    QByteArray buffer;
    for (;;) {
        bool bad = false;
        if (std::optional<LinkMessage> reply = DecodeLinkMessage(buffer, &bad))
            return reply;
        if (bad || deadline.hasExpired())
            return std::nullopt;
        if (!socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
            buffer += socket.readAll();
            bool lastBad = false;
            if (std::optional<LinkMessage> reply = DecodeLinkMessage(buffer, &lastBad))
                return reply;
            return std::nullopt;
        }
        buffer += socket.readAll();
    }
}
