// The FTP upload client: stores the address page as a file on an FTP server. For an "ftp://"
// site it logs in, sets ASCII type, listens on a local data port and announces it with PORT
// (active mode), sends STOR and writes the page on the connection the server opens (only the
// control connection's server may open it), once the server's preliminary reply to STOR says it
// takes the data. For an "ftpes://" site it first asks for TLS (AUTH TLS) and logs in only over
// it, then sends PBSZ 0 and PROT P, and after TYPE A asks for passive mode (EPSV, then PASV)
// and opens the data connection itself to the control connection's server, with TLS resuming
// the control connection's session (under TLS 1.3 once the server's session ticket came, or
// TicketWaitSeconds without one). Both
// connections check the server's certificate against the system's authorities (and any added
// with SetExtraCaCertificates), TLS 1.2 or later. The page counts as stored only when every byte
// of it was written and the server then confirms with "226" or closes the data connection. It
// never sends QUIT: when the server confirms the transfer the sockets are simply closed. Each
// event worth reporting becomes one result record (Record); the diagnostic text follows every
// step, the password masked.
#pragma once

#include "dynaddr/FtpRules.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

class Clock;
class QSslSocket;
class QTcpServer;
class QTcpSocket;

enum class FtpPageMode { Go, Close };

// What the caller gives for one transfer.
struct FtpJob {
    QByteArray Url;
    QByteArray Login;
    QByteArray Password;
    QByteArray PortText = "21";
    // Seconds without activity (a complete final reply, the data connection, page bytes written)
    // before the watchdog ends the attempt; an attempt lasts at most twice as long in all.
    int DLTimeout = 60;
    int RetryDelay = 60;  // seconds between attempts (below 1 counts as 1)
    int RetryLimit = 1;   // the highest attempt number
    int ListenPort = DefaultListenPort; // the receive port: shown on the page and never used as a data port
    // What the open page names instead of the control connection's local address and the receive
    // port (an address outside a router, for example); empty and 0 take those.
    QByteArray PageIp;
    int PagePort = 0;
};

class FtpUpload : public QObject {
    Q_OBJECT
public:
    static constexpr int WatchdogIntervalMs = 15000;
    static constexpr qsizetype DiagnosticLimit = 20001;
    // How long the data connection waits for the server's TLS 1.3 session ticket (checked on the
    // watchdog's tick) before it starts without one: a server that sends none may still take a
    // new session; one that insists on resumption then refuses it with 856.
    static constexpr int TicketWaitSeconds = 5;

    explicit FtpUpload(const Clock &clock, QObject *parent = nullptr);
    ~FtpUpload() override;

    // "GO" or "CLOSE": posts the open or the closed page. Ignored (false) while a transfer runs or
    // waits for its next attempt. Bad parameters end it at once with ABORT/899.
    bool Start(FtpPageMode mode, const FtpJob &job);
    // "ABORT": ends the running attempt or the wait between attempts with ABORT/884.
    void Abort();

    // A transfer runs or waits for its next attempt.
    bool Busy() const { return !finished_; }
    bool RetryWaiting() const { return retryWaiting_; }
    // The data-port counter: 1555 after start-up, advanced by every PORT step.
    int NextDataPort() const { return nextDataPort_; }
    void ResetDataPort() { nextDataPort_ = FirstDataPortCounter; }
    QByteArray StatusCode() const { return statusCode_; }
    int AttemptNumber() const { return attempt_; }
    int DataPort() const { return dataPort_; }
    // The wait between attempts as armed, in milliseconds.
    int RetryWaitMs() const { return waitTimer_.interval(); }
    // The diagnostic text: each line + CR + LF; emptied at every start.
    const QByteArray &Diagnostics() const { return diagnostics_; }
    // The result records of the current transfer, formatted, in order.
    const QByteArray &ResultText() const { return resultText_; }

    // Certificates trusted for "ftpes://" besides the system's store.
    void SetExtraCaCertificates(const QList<QSslCertificate> &certificates) { extraCa_ = certificates; }

    // The longest an attempt may last, from its connect request to its end.
    int AttemptLimitSeconds() const { return 2 * job_.DLTimeout; }

    // The timers' handlers; tests call them on the fake clock.
    void WatchdogTick();
    void WaitTimerTick();

signals:
    void Record(const FtpRecord &record);

private:
    void ResetTransfer();
    void OpenControl();
    void OnControlConnected();
    void OnControlData();
    void OnControlClosed();
    void OnControlError(int errorNumber);
    void OnControlEncrypted();
    void OnSessionTicket();
    void ActOnReply(FtpReplyAction action, const QByteArray &finalLine = {});
    void SendCommand(const QByteArray &command, const QByteArray &shown);
    QSslConfiguration TlsConfiguration() const;
    void WatchTls(QSslSocket *socket, const QByteArray &which);
    bool ListenForData();
    void OnDataConnection();
    bool FromControlPeer(const QTcpSocket &socket) const;
    void ConnectPassiveData();
    void OnPassiveDataConnected();
    void OnDataEncrypted();
    void WatchData(QTcpSocket *socket);
    void BuildPage();
    void TlsFailed(const QByteArray &why);
    void SendPageWhenDue();
    void OnDataWritten();
    void OnDataClosed();
    void OnDataError(int errorNumber);
    void FinishTransfer();
    void ScheduleRetry();
    void RestartAttempt();
    void CloseSockets();
    void AddDiagnostic(const QByteArray &line);
    void AddRecord(FtpWord word, const QByteArray &code);

    const Clock &clock_;
    FtpPageMode mode_ = FtpPageMode::Go;
    FtpJob job_;
    FtpTarget target_;
    QByteArray statusCode_ = "000";
    QByteArray expected_;
    FtpReplyStep step_ = FtpReplyStep::None;
    int attempt_ = 0;
    FtpReplyReader reader_;
    bool connectWatch_ = false;
    QDateTime controlStartTime_;
    bool activityWatch_ = false;
    QDateTime lastActivityTime_;
    int nextDataPort_ = FirstDataPortCounter;
    int dataPort_ = 0;
    QByteArray portArgument_;
    QByteArray page_;          // built when the data connection came, sent once the server is ready
    bool storeAccepted_ = false;
    bool pageSent_ = false;    // the page was handed to the data connection
    bool pageWritten_ = false; // every byte of the page went to the data connection
    QList<QSslCertificate> extraCa_;
    bool controlHandshaking_ = false; // "234" came, the control connection's handshake runs
    bool ticketReceived_ = false;     // the server's TLS 1.3 session ticket came
    bool awaitingTicket_ = false;     // the data connection waits for that ticket
    bool ticketWaitOver_ = false;     // it waited long enough: it starts without one
    QDateTime ticketWaitStart_;
    int passivePort_ = 0;
    bool dataEncrypted_ = false;
    quint32 localIPv4_ = 0;
    bool finished_ = true;
    bool retryWaiting_ = false;
    QPointer<QSslSocket> control_;
    QPointer<QTcpServer> dataServer_;
    QPointer<QTcpSocket> data_;
    QTimer watchdog_;
    QTimer waitTimer_;
    QByteArray diagnostics_;
    QByteArray resultText_;
};
