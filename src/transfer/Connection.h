// The one seam through which the engine's transfer connections are made and used. Every
// connection, opened to a peer or accepted from one, is a QSslSocket from the start, so that
// encryption can begin on it later; until then it carries plain bytes. The slots never touch the
// socket itself: they open, accept, write, read and close through a Connection and hear its
// events as its signals.
//
// File data may go to the kernel directly instead of through the socket's own buffer: a batch
// from memory (WriteBatch), or straight from the file to the socket (SendFile) and from the
// socket to the file (ReceiveFile), without passing through this process. These fast paths are
// allowed only while nothing transforms the bytes on their way: ZeroCopyAllowed() says so, and
// starting encryption turns it off for good.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTcpServer>
#include <memory>

#include "transfer/ZeroCopy.h"

class QSocketNotifier;

// What a connection is for; each kind has its own cap on unread data held by the socket.
enum class ConnectionKind {
    Receive, // an accepted caller: file data is read at the disk's pace
    Send,    // a call to a peer: only its short greeting and reply are read
};

// The most unread data the socket of a connection kind holds (0: no cap).
qint64 ReadBufferCap(ConnectionKind kind);
// The cap of every encrypting socket, whatever its kind: the decrypted data a receiver takes per
// turn, as much as a plain receiving socket holds. Every turn's buffers on the way through the
// encryption are as large, so the first encrypting connection has the memory allocator keep such
// buffers for reuse (see KeepLargeBuffers in Connection.cpp): handed back to the system and
// faulted in again on every turn, they cost more than the decryption itself.
inline constexpr qint64 EncryptingReadBufferCap = 256 * 1024;

// The TLS settings of both ends of an encrypted transfer: TLS 1.3 only, the installation's own
// certificate shown, and the peer's asked for but not verified against any authority (trust
// comes from the pinned key alone, checked by the caller once the handshake is done).
QSslConfiguration TransferTlsConfiguration(const QSslKey &key, const QSslCertificate &certificate);

class Connection : public QObject {
    Q_OBJECT
public:
    // A new unconnected connection (for ConnectTo).
    Connection(ConnectionKind kind, QObject *parent);
    // A connection around an accepted socket, which it takes over.
    Connection(ConnectionKind kind, QSslSocket *accepted, QObject *parent);
    ~Connection() override;

    ConnectionKind Kind() const { return kind_; }
    void ConnectTo(const QString &host, quint16 port);

    // Writing: the bytes are queued in the socket and go out as the network takes them.
    qint64 Write(const QByteArray &data);
    qint64 Write(const char *data, qint64 length);
    // A batch of file data: offered to the kernel directly when ZeroCopyAllowed() and nothing
    // waits in the socket's buffer; whatever the kernel does not take at once is queued as by
    // Write. True when the kernel took the whole batch at once (no bytesWritten event follows).
    bool WriteBatch(const char *data, qint64 length);
    bool Flush();
    qint64 BytesToWrite() const;

    // File data from a file to the socket inside the kernel: up to maxBytes of fileFd from offset,
    // counted as the kernel took them. Refused while the bytes must pass through the socket
    // (ZeroCopyAllowed() false) or its own buffer still holds some; the caller then writes.
    ZeroCopy::Moved SendFile(int fileFd, int64_t offset, int64_t maxBytes);
    // After SendFile found the socket full: one BytesWritten follows once it can take more.
    void WaitWritable();

    // File data from the socket into a file inside the kernel. BeginFileReceive shrinks the
    // socket's own buffer to one byte, so that arrivals, the peer's close and errors are still
    // reported while the data itself goes from the socket to the file; false when that is not
    // possible here (encryption, no pipe). ReceiveFile then moves up to maxBytes (what the
    // socket's buffer holds first) to fileFd at fileOffset; a refusal means: EndFileReceive and
    // read as usual. EndFileReceive gives the socket its buffer back.
    bool BeginFileReceive();
    bool ReceivingFile() const { return taker_ != nullptr; }
    ZeroCopy::Moved ReceiveFile(int fileFd, int64_t fileOffset, int64_t maxBytes);
    void EndFileReceive();

    // Reading.
    qint64 BytesAvailable() const;
    qint64 Read(char *data, qint64 maxLength);
    QByteArray ReadAll();

    // Ending: Close lets the queued bytes go out first (a peer that never reads them is cut off
    // after RetireLimitMs), Abort drops them. Either way no event of the connection reaches its
    // owner any more and the connection deletes itself once its socket is closed.
    void Close();
    void Abort();
    // Abort with a reset: the peer hears that its bytes were not all taken.
    void Reset();
    static constexpr int RetireLimitMs = 30000;

    bool IsConnected() const;
    bool IsUnconnected() const;
    // The peer ended the connection with a reset rather than a close: it dropped bytes it had
    // not read (a receiver whose disk is full closes with the rest of the file unread).
    bool PeerReset() const { return peerReset_; }
    QHostAddress PeerAddress() const;
    QHostAddress LocalAddress() const;

    // Encryption. Starting it turns the fast path off before the first encrypted byte; the
    // configuration (identity, what the peer must show) is the caller's. A self-signed
    // certificate (and a name that is not the peer's address) is no error here: those complaints
    // of the handshake are ignored, every other one fails it. Once encrypting, BytesToWrite()
    // also counts the encrypted bytes the network has not taken yet, and BytesWritten follows
    // them, so a sender does not run ahead of the network.
    void StartClientEncryption(const QSslConfiguration &configuration, const QString &peerName = {});
    void StartServerEncryption(const QSslConfiguration &configuration);
    bool IsEncrypting() const { return encrypting_; }
    bool IsEncrypted() const;
    QSslCertificate PeerCertificate() const;
    // False while the bytes must pass through the socket (encryption started).
    bool ZeroCopyAllowed() const { return !encrypting_; }

signals:
    void Connected();
    void ReadyRead();
    void BytesWritten();
    void Closed();
    // Any error but the peer's close (which arrives as Closed), as its classic error number.
    void Failed(int errorNumber);
    void Encrypted();
    void HandshakeFailed(const QByteArray &reason);

private:
    void Wire();
    void DropWritable();
    void ReleaseWatch();

    ConnectionKind kind_;
    QSslSocket *socket_;
    bool encrypting_ = false;
    bool retired_ = false;
    bool peerReset_ = false;
    int watchFd_ = -1; // a call's socket held open a moment longer, to tell a reset from a close
    QSocketNotifier *writable_ = nullptr;           // while waiting for room after SendFile
    std::unique_ptr<ZeroCopy::SocketToFile> taker_; // while file data is received into a file
};

// The listening side: every accepted connection is made a QSslSocket here, from its descriptor.
class ConnectionServer : public QTcpServer {
    Q_OBJECT
public:
    explicit ConnectionServer(QObject *parent) : QTcpServer(parent) {}
    // The next accepted socket, or nullptr; the caller wraps it in a Connection.
    QSslSocket *NextPendingSocket();

protected:
    void incomingConnection(qintptr descriptor) override;
};
