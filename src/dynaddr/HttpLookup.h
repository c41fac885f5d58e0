// The HTTP client of one send channel's address lookup: one GET of the peer's page over its own
// socket (TLS for an "https://" URL), the response collected until the server closes, a
// watchdog for silence and for the length of the whole lookup, and one ending per lookup. Done
// is emitted only for the lookup under way: a lookup cut off or replaced reports nothing more.
// The exchange itself is HttpResponseReader.
#pragma once

#include "dynaddr/HttpResponse.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QTimer>

class Clock;
class QTcpSocket;

class HttpLookup : public QObject {
    Q_OBJECT
public:
    static constexpr int WatchdogInterval = 15000; // milliseconds
    // A lookup ends after this many seconds without a byte from the server (the transfers have
    // their own limit, TransferSilenceLimitSeconds).
    static constexpr int LookupSilenceLimitSeconds = 30;
    // A whole lookup, from its start to the last byte, may last this long.
    static constexpr int LookupLimitSeconds = 60;

    HttpLookup(int index, const Clock &clock, QObject *parent = nullptr);
    ~HttpLookup() override;

    // Starts fetching url; id comes back with Done. A lookup still running is cut off first.
    // Nothing is reported from inside this call: the connection is made on the next turn of
    // the event loop.
    void Start(quint64 id, const QByteArray &url);
    // A lookup runs (from Start until its ending or a cut).
    bool Busy() const { return running_; }
    // Shutdown: closes the connection and stops the watchdog; the lookup ends without Done.
    void Cut();
    // The watchdog's tick: ends the lookup once more than 30 whole seconds have passed since
    // the start, the connect or the last data, or once 60 have passed since the start. Also
    // called when the 60 seconds are up, so that the lookup ends on time.
    void WatchdogTick();

    // Certificates trusted for https besides the system's store.
    void SetExtraCaCertificates(const QList<QSslCertificate> &certificates) { extraCa_ = certificates; }

    int Index() const { return index_; }
    // The current or last lookup: progress words, statuses, diagnostics, page.
    const HttpResponseReader &Reader() const { return reader_; }

signals:
    // The lookup ended ("DONE"): the page, empty when it failed.
    void Done(int index, quint64 id, const QByteArray &page);

private:
    void Connect();
    void OnConnected();
    void OnData();
    void OnClosed();
    void OnError(QAbstractSocket::SocketError error);
    void End();
    void DropSocket();

    const int index_;
    const Clock &clock_;
    QTimer watchdog_;
    QTimer deadline_;
    QTimer connectTimer_;
    QTcpSocket *socket_ = nullptr;
    HttpResponseReader reader_;
    QDateTime activity_;
    QDateTime started_;
    QList<QSslCertificate> extraCa_;
    quint64 id_ = 0;
    bool running_ = false;
};
