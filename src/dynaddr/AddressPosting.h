// The posting control of the own address page: posts the open page when communications start
// with address type "D", the closed page at shutdown, reports each step in the log and says when
// nothing of the dynamic-address side is pending any more. It owns the FTP upload client and
// handles its result records one event-loop turn after they are made (the shutdown takes in
// those still waiting before it decides, so it sees the transfer as it stands).
#pragma once

#include "core/Preferences.h"
#include "dynaddr/FtpUpload.h"

#include <QList>
#include <QObject>
#include <optional>

class Clock;
class TransferLog;
class UserPrompt;

class AddressPosting : public QObject {
    Q_OBJECT
public:
    // Which page the transfer under way posts.
    enum class Mode { None, Upload, Close };

    AddressPosting(const Clock &clock, TransferLog &log, UserPrompt &prompt, QObject *parent = nullptr);
    ~AddressPosting() override;

    // Start-up: the data-port counter back to its first value, every flag cleared.
    void Reset();
    // Posts the open page with these settings (the caller checks the address type). Asked while
    // a posting runs, the request is kept (the latest settings win) and the page is posted again
    // once the running posting has ended, whether it succeeded or failed; once shutdown has
    // begun nothing is posted and a kept request is dropped.
    void StartAddressUpload(const Preferences &prefs);
    // A request to post the open page again waits for the running posting to end.
    bool RepostPending() const { return repost_.has_value(); }
    // What the open page names instead of the FTP control connection's local address and the
    // receive port (an address outside a router, say); an empty ip and a port of 0 give those
    // back. Taken by the next posting: ask for one with StartAddressUpload.
    void SetPageAddress(const QByteArray &ip, int port);
    // Posts the closed page. When a setting it needs is missing it logs which and reports the
    // side closed, since nothing is left to wait for.
    void StartAddressClose(const Preferences &prefs);
    // Abandons the transfer under way.
    void AbortAddressPosting();
    // The shutdown's step for the dynamic-address side: abort a running upload, close a posted
    // page, or report the side closed at once (always with address type "S").
    void BeginShutdown(const Preferences &prefs);

    bool FtpBusy() const { return ftpBusy_; }
    bool UploadRunning() const { return uploadRunning_; }
    bool AddressPosted() const { return addressPosted_; }
    bool AbortFtpRequested() const { return abortFtpRequested_; }
    bool DynamicSideClosed() const { return dynamicSideClosed_; }
    Mode PostingMode() const { return mode_; }
    // The local port the next data connection of the FTP client will be announced on, less one.
    int NextDataPort() const { return ftp_.NextDataPort(); }
    FtpUpload &Client() { return ftp_; }

    // The settings the client is given for every posting; the page names ip and port when given.
    static FtpJob JobFor(const Preferences &prefs, const QByteArray &pageIp = {}, int pagePort = 0);

signals:
    // DynamicSideClosed became true: the quit timer may end the process.
    void SideClosed();

private:
    // The checks and steps both postings share; false when a setting is missing.
    bool StartPosting(const Preferences &prefs, Mode mode);
    // Takes in the client's records in the order they were made.
    void HandleRecords();
    void HandleRecord(const FtpRecord &record);
    // A kept request to post the open page again is acted on once nothing runs.
    void PostAgainIfAsked();
    void LogFtpDiagnostic(const QByteArray &code);
    void SetSideClosed();

    TransferLog &log_;
    UserPrompt &prompt_;
    FtpUpload ftp_;
    Mode mode_ = Mode::None;
    bool shuttingDown_ = false;
    bool ftpBusy_ = false;
    bool uploadRunning_ = false;
    bool addressPosted_ = false;
    bool abortFtpRequested_ = false;
    bool dynamicSideClosed_ = false;
    bool highPortLogged_ = false;
    QList<FtpRecord> records_;            // made by the client, not yet handled
    std::optional<Preferences> repost_;   // the open page is to be posted again with these
    QByteArray pageIp_;
    int pagePort_ = 0;
};
