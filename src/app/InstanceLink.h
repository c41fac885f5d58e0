// The local link to the running instance of one installation: a local socket named from the
// installation's folder, reachable by the same user only. A second start uses it to raise the
// window or hand over files; --send, --list and --status use it to talk to a running program.
//
// A request and its reply are each a list of byte strings: a 4-byte big-endian total length, then
// per item a 4-byte big-endian length and the bytes. A request's first item is its verb.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <sys/types.h>

class QLocalServer;
class QLocalSocket;
class QTimer;

using LinkMessage = QList<QByteArray>;

// Verbs and reply words.
namespace LinkVerb {
inline constexpr char Raise[] = "RAISE";   // bring the window to the front
inline constexpr char Open[] = "OPEN";     // paths...: open the queue loader with them listed
inline constexpr char Add[] = "ADD";       // user, message, priority, paths...: queue them at once
inline constexpr char AddOnce[] = "ADD1";  // id, then as ADD: queue them once, however often asked
inline constexpr char List[] = "LIST";     // the queue as a table
inline constexpr char Status[] = "STATUS"; // running state, port, address, channels
inline constexpr char ClearSent[] = "CLEARSENT"; // take the delivered rows out of the queue
inline constexpr char Ok[] = "OK";         // reply: done; the rest are lines to print
inline constexpr char Refused[] = "REFUSED"; // reply: not done; the rest are lines saying why
inline constexpr char Part[] = "PART";     // reply in parts: one piece of the text; OK follows last
} // namespace LinkVerb

// A message as it travels; FrameReader takes it apart again.
QByteArray EncodeLinkMessage(const LinkMessage &message);
// Reads one message from a growing buffer. Returns nullopt while more bytes are needed; sets
// *bad (and returns nullopt) for a message that can never be whole or correct.
std::optional<LinkMessage> DecodeLinkMessage(const QByteArray &buffer, bool *bad);
inline constexpr int MaxLinkMessage = 16 * 1024 * 1024;
// A reply larger than this goes out as PART messages of at most this much text each, then OK,
// so a long queue is never cut off by the message cap.
inline constexpr int LinkPartSize = 1024 * 1024;
// At most this many connections are served at once, each with at most this much unread.
inline constexpr int MaxLinkConnections = 32;
inline constexpr int LinkReadBufferSize = 64 * 1024;
// Takes the first whole message off the front of a buffer holding several.
std::optional<LinkMessage> TakeLinkMessage(QByteArray &buffer, bool *bad);
// The messages a reply goes out as: the reply itself, or PART messages and a closing OK.
QList<LinkMessage> SplitLinkReply(const LinkMessage &reply);

// The folder of the link's socket: $XDG_RUNTIME_DIR when it is set, is a folder of this user
// that no one else may enter and leaves room for the socket's name; otherwise a folder of this
// user under the system's temporary folder, created with mode 0700 (empty when no such folder
// can be had safely).
QString LinkFolder();
// The socket's full path for an installation: LinkFolder() and a name made from a hash of the
// installation's canonical folder, so two paths to one folder meet at one socket.
QString LinkPath(const QString &programFolder);
// Used by the above with a given runtime folder; exposed for tests.
QString LinkFolderFor(const QByteArray &runtimeDir, uid_t uid);
QString LinkNameFor(const QString &programFolder);

// The user at the other end of a connected local socket, through the kernel's record of the
// peer's credentials; nullopt when the kernel gives none.
std::optional<uid_t> PeerUid(int socketDescriptor);
// Whether a connection may talk to this installation: only its own user may.
bool PeerAllowed(std::optional<uid_t> peer, uid_t own);

// The running instance's end. Each connection sends one request and gets one reply.
class LinkServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<LinkMessage(const LinkMessage &request)>;

    explicit LinkServer(Handler handler, QObject *parent = nullptr);
    ~LinkServer() override;

    // Listens at the path; a socket left there by an instance that ended without removing it
    // is replaced (the caller holds the installation's lock, so no live instance owns it). The
    // socket file gets mode 0600.
    bool Listen(const QString &path);
    QString Path() const;
    QString ErrorText() const;

signals:
    // A connection from another user was turned away.
    void Rejected(uid_t peer);
    // The server had stopped listening and listens again (true), or cannot yet (false).
    void Relistened(bool ok);

private:
    void OnConnection();
    void OnData(QLocalSocket *socket);

    Handler handler_;
    QLocalServer *server_ = nullptr;
    QString path_;
    QTimer *watch_ = nullptr; // listens again when the server has stopped (no descriptors left)
    int open_ = 0;
};

// The other end: sends one request to the instance at the path and waits for its reply, running
// a local event loop meanwhile. nullopt when nothing listens there or no whole reply came within
// the time (counted from the last part that came). A reply in parts is handed to onPart piece by
// piece when given (the reply is then OK alone), or else joined into one line.
std::optional<LinkMessage> AskInstance(const QString &path, const LinkMessage &request, int timeoutMs = 10000,
                                       const std::function<void(const QByteArray &)> &onPart = {});
