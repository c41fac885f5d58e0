// Posting the own address page through the FTP upload client.
#include "dynaddr/AddressPosting.h"

#include "core/TransferLog.h"
#include "core/UserPrompt.h"

AddressPosting::AddressPosting(const Clock &clock, TransferLog &log, UserPrompt &prompt, QObject *parent)
    : QObject(parent), log_(log), prompt_(prompt), ftp_(clock, this)
{
    // A record is acted on after the client's handler has returned, as the next event.
    connect(&ftp_, &FtpUpload::Record, this, [this](const FtpRecord &record) {
        records_.append(record);
        if (records_.size() == 1)
            QMetaObject::invokeMethod(this, &AddressPosting::HandleRecords, Qt::QueuedConnection);
    });
}

AddressPosting::~AddressPosting() = default;

void AddressPosting::Reset()
{
    shuttingDown_ = ftpBusy_ = uploadRunning_ = addressPosted_ = abortFtpRequested_ = false;
    dynamicSideClosed_ = highPortLogged_ = false;
    mode_ = Mode::None;
    records_.clear();
    repost_.reset();
    pageIp_.clear();
    pagePort_ = 0;
    ftp_.ResetDataPort();
}

FtpJob AddressPosting::JobFor(const Preferences &prefs, const QByteArray &pageIp, int pagePort)
{
    FtpJob job;
    job.Url = prefs.FtpUrl;
    job.Login = prefs.FtpLogin;
    job.Password = prefs.FtpPassword;
    job.PortText = "21";
    job.RetryDelay = 60;
    job.RetryLimit = 1;
    job.DLTimeout = 60;
    job.ListenPort = prefs.ListenPort;
    job.PageIp = pageIp;
    job.PagePort = pagePort;
    return job;
}

bool AddressPosting::StartPosting(const Preferences &prefs, Mode mode)
{
    if (prefs.FtpUrl.isEmpty()) {
        log_.Showit("No Dynamic IP FTP URL Given");
        return false;
    }
    if (prefs.FtpLogin.isEmpty()) {
        log_.Showit("No Dynamic IP FTP Login Given");
        return false;
    }
    if (prefs.FtpPassword.isEmpty()) {
        log_.Showit("No Dynamic IP FTP Password Given");
        return false;
    }
    mode_ = mode;
    ftpBusy_ = true;
    if (mode == Mode::Upload) {
        if (prefs.ListenPort > 32767 && !highPortLogged_) {
            highPortLogged_ = true;
            log_.Showit("Port " + QByteArray::number(prefs.ListenPort) +
                        " is above 32767: installations that read the page's port as a 16-bit number cannot use it");
        }
        log_.Showit("Starting Upload of Dynamic IP Page");
        uploadRunning_ = true;
    } else {
        log_.Showit("Starting Close of Dynamic IP Page");
    }
    ftp_.Start(mode == Mode::Upload ? FtpPageMode::Go : FtpPageMode::Close, JobFor(prefs, pageIp_, pagePort_));
    return true;
}

void AddressPosting::StartAddressUpload(const Preferences &prefs)
{
    if (shuttingDown_)
        return;
    // The page being posted may already be out of date (a new port, a new outside address).
    if (ftpBusy_) {
        repost_ = prefs;
        return;
    }
    StartPosting(prefs, Mode::Upload);
}

void AddressPosting::SetPageAddress(const QByteArray &ip, int port)
{
    pageIp_ = ip;
    pagePort_ = port;
}

void AddressPosting::StartAddressClose(const Preferences &prefs)
{
    if (ftpBusy_)
        return;
    // Without its settings the close cannot start: nothing is left that the shutdown could wait for.
    if (!StartPosting(prefs, Mode::Close))
        SetSideClosed();
}

void AddressPosting::AbortAddressPosting()
{
    ftp_.Abort();
}

void AddressPosting::BeginShutdown(const Preferences &prefs)
{
    // Nothing is posted again; records the client has made are taken in first, so that an
    // upload that has just ended is not aborted but followed by the closed page.
    repost_.reset();
    HandleRecords();
    shuttingDown_ = true;
    const bool dynamic = prefs.AddressType == AddressKind::Dynamic;
    if (dynamic && uploadRunning_ && !abortFtpRequested_) {
        log_.Showit("Aborting FTP Connect");
        abortFtpRequested_ = true;
        AbortAddressPosting();
    } else if (dynamic && addressPosted_ && !dynamicSideClosed_) {
        log_.Showit("Closing Dynamic IP");
        StartAddressClose(prefs);
    } else {
        SetSideClosed();
    }
}

void AddressPosting::HandleRecords()
{
    while (!records_.isEmpty())
        HandleRecord(records_.takeFirst());
}

void AddressPosting::HandleRecord(const FtpRecord &record)
{
    switch (record.Word) {
    case FtpWord::Done:
        uploadRunning_ = false;
        ftpBusy_ = false;
        if (mode_ != Mode::Upload) {
            log_.Showit("IP Address Successfully Closed");
            SetSideClosed();
        } else {
            log_.Showit("IP Address Successfully Updated");
            addressPosted_ = true;
        }
        if (shuttingDown_)
            SetSideClosed();
        PostAgainIfAsked();
        break;
    case FtpWord::Error:
    case FtpWord::Abort:
        LogFtpDiagnostic(record.Code);
        uploadRunning_ = false;
        ftpBusy_ = false;
        prompt_.Beep();
        log_.Showit("Error on IP Update - Please try again");
        if (mode_ == Mode::Close || shuttingDown_)
            SetSideClosed();
        PostAgainIfAsked();
        break;
    case FtpWord::Disk:
        log_.Showit("Remote FTP Site Connected");
        break;
    case FtpWord::Go:
    case FtpWord::Retry:
        break;
    }
}

void AddressPosting::PostAgainIfAsked()
{
    if (!repost_ || shuttingDown_ || ftpBusy_)
        return;
    const Preferences prefs = *repost_;
    repost_.reset();
    StartAddressUpload(prefs);
}

void AddressPosting::LogFtpDiagnostic(const QByteArray &code)
{
    if (code == "000" || code == "802")
        return;
    log_.Showit("FTP Diagnostic - " + code + " " + FtpDiagnosticText(code));
}

void AddressPosting::SetSideClosed()
{
    if (dynamicSideClosed_)
        return;
    dynamicSideClosed_ = true;
    emit SideClosed();
}
