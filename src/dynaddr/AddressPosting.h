// The posting control of the own address page: posts the open page when communications start
// with address type "D", the closed page at shutdown, reports each step in the log and says when
// nothing of the dynamic-address side is pending any more. It owns the FTP upload client and
// hears its result records one event-loop turn after they are made.
#pragma once

#include "core/Preferences.h"
#include "dynaddr/FtpUpload.h"

#include <QObject>

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
    // Posts the open page with these settings (the caller checks the address type).
    void StartAddressUpload(const Preferences &prefs);
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

    // The settings the client is given for every posting.
    static FtpJob JobFor(const Preferences &prefs);

signals:
    // DynamicSideClosed became true: the quit timer may end the process.
    void SideClosed();

private:
    // The checks and steps both postings share; false when a setting is missing.
    bool StartPosting(const Preferences &prefs, Mode mode);
    void HandleRecord(const FtpRecord &record);
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
};
