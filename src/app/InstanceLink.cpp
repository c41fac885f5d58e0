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

namespace {
// The length of the first message in the buffer, its length field included, once all of it is
// there; nullopt while more is needed, or (with *bad) when it can never be whole.
std::optional<qsizetype> WholeMessageLength(const QByteArray &buffer, bool *bad)
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
    return 4 + static_cast<qsizetype>(total);
}

// The items of the whole message that takes the buffer's first `end` bytes.
std::optional<LinkMessage> ParseMessage(const QByteArray &buffer, qsizetype end, bool *bad)
{
    LinkMessage message;
    qsizetype pos = 4;
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
} // namespace

std::optional<LinkMessage> DecodeLinkMessage(const QByteArray &buffer, bool *bad)
{
    const std::optional<qsizetype> length = WholeMessageLength(buffer, bad);
    if (!length)
        return std::nullopt;
    if (buffer.size() > *length) {
        *bad = true; // one request per connection
        return std::nullopt;
    }
    return ParseMessage(buffer, *length, bad);
}

std::optional<LinkMessage> TakeLinkMessage(QByteArray &buffer, bool *bad)
{
    const std::optional<qsizetype> length = WholeMessageLength(buffer, bad);
    if (!length)
        return std::nullopt;
    std::optional<LinkMessage> message = ParseMessage(buffer, *length, bad);
    if (message)
        buffer.remove(0, *length);
    return message;
}

QList<LinkMessage> SplitLinkReply(const LinkMessage &reply)
{
    if (reply.isEmpty() || reply.first() != LinkVerb::Ok || EncodeLinkMessage(reply).size() <= LinkPartSize)
        return {reply};
    QList<LinkMessage> messages;
    for (const QByteArray &line : reply.mid(1))
        for (qsizetype at = 0; at < line.size(); at += LinkPartSize)
            messages << LinkMessage{LinkVerb::Part, line.mid(at, LinkPartSize)};
    messages << LinkMessage{LinkVerb::Ok};
    return messages;
}

namespace {
// The folder at the path, made if missing, when it is a real folder of this user (closed to
// others if it was open); empty otherwise.
QString OwnPrivateFolder(const QByteArray &folder, uid_t uid)
{
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    struct stat st {};
    if (::lstat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid)
        return {};
    if ((st.st_mode & 077) != 0 && ::chmod(folder.constData(), 0700) != 0)
        return {};
    return PrivateFolder(folder, uid) ? QFile::decodeName(folder) : QString();
}
} // namespace

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
    if (const QString made = OwnPrivateFolder(folder, uid); !made.isEmpty())
        return made;
    // Another user made that name first (anyone may, it is predictable) or put something else
    // there: a folder in the home folder, where no one else can make anything.
    const QByteArray home = QFile::encodeName(QDir::homePath());
    if (home.isEmpty() || home == "/" || home.size() + 40 > MaxLinkFolderLength)
        return {};
    const QByteArray cache = home + "/.cache";
    if (::mkdir(cache.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    return OwnPrivateFolder(cache + "/parcelwise-link", uid);
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
    // A failed accept (out of file descriptors) closes the server and removes its socket; the
    // link comes back as soon as it can.
    watch_ = new QTimer(this);
    watch_->setInterval(2000);
    connect(watch_, &QTimer::timeout, this, [this] {
        if (path_.isEmpty() || server_->isListening())
            return;
        const bool ok = Listen(path_);
        emit Relistened(ok);
    });
}

LinkServer::~LinkServer()
{
    server_->close(); // removes the socket file
}

bool LinkServer::Listen(const QString &path)
{
    if (path.isEmpty())
        return false;
    path_ = path;
    watch_->start();
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
        if (open_ >= MaxLinkConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++open_;
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        socket->setReadBufferSize(LinkReadBufferSize);
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
    for (const LinkMessage &message : SplitLinkReply(reply))
        socket->write(EncodeLinkMessage(message));
    socket->disconnectFromServer(); // after what is written has gone
}

std::optional<LinkMessage> AskInstance(const QString &path, const LinkMessage &request, int timeoutMs,
                                       const std::function<void(const QByteArray &)> &onPart)
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
    QByteArray joined; // the parts, when no one takes them one by one
    bool inParts = false;
    bool closed = false;
    for (;;) {
        bool bad = false;
        while (std::optional<LinkMessage> message = TakeLinkMessage(buffer, &bad)) {
            if (!message->isEmpty() && message->first() == LinkVerb::Part && message->size() == 2) {
                inParts = true;
                if (onPart)
                    onPart(message->at(1));
                else
                    joined += message->at(1);
                deadline.setRemainingTime(timeoutMs); // the instance is answering
                continue;
            }
            if (inParts && !onPart && !message->isEmpty() && message->first() == LinkVerb::Ok)
                return LinkMessage{LinkVerb::Ok, joined};
            return message;
        }
        // A close brings its last bytes with it: they were taken above, and nothing more comes.
        if (bad || closed || deadline.hasExpired())
            return std::nullopt;
        const bool more = socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        buffer += socket.readAll();
        closed = !more && socket.state() != QLocalSocket::ConnectedState;
    }
}
