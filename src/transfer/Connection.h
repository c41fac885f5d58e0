// The one seam through which the engine's transfer connections are made and used. Every
// connection, opened to a peer or accepted from one, is a QSslSocket from the start, so that
// encryption can begin on it later; until then it carries plain bytes. The slots never touch the
// socket itself: they open, accept, write, read and close through a Connection and hear its
// events as its signals.
//
// Batches of file data may go to the kernel directly instead of through the socket's own buffer
// (WriteBatch). That fast path is allowed only while nothing transforms the bytes on their way
// out: ZeroCopyAllowed() says so, and starting encryption turns it off for good. Another way of
// handing file data to the kernel (from the file itself) belongs in WriteBatch's place too.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTcpServer>

// What a connection is for; each kind has its own cap on unread data held by the socket.
enum class ConnectionKind {
    Receive, // an accepted caller: file data is read at the disk's pace
    Send,    // a call to a peer: only its short greeting and reply are read
};

// The most unread data the socket of a connection kind holds (0: no cap).
qint64 ReadBufferCap(ConnectionKind kind);
// The cap of every encrypting socket, whatever its kind: a larger read buffer on an encrypting
// socket makes the decryption far slower.
inline constexpr qint64 EncryptingReadBufferCap = 16 * 1024;

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

    // Reading.
    qint64 BytesAvailable() const;
    qint64 Read(char *data, qint64 maxLength);
    QByteArray ReadAll();

    // Ending: Close lets the queued bytes go out first (a peer that never reads them is cut off
    // after RetireLimitMs), Abort drops them. Either way no event of the connection reaches its
    // owner any more and the connection deletes itself once its socket is closed.
    void Close();
    void Abort();
    static constexpr int RetireLimitMs = 30000;

    bool IsConnected() const;
    bool IsUnconnected() const;
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

    ConnectionKind kind_;
    QSslSocket *socket_;
    bool encrypting_ = false;
    bool retired_ = false;
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
