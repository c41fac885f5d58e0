// Until the FTP client exists, nothing is posted and the dynamic side is closed at shutdown.
#include "dynaddr/AddressPosting.h"

AddressPosting::AddressPosting(const Clock &clock, TransferLog &log, UserPrompt &prompt, QObject *parent)
    : QObject(parent), clock_(clock), log_(log), prompt_(prompt)
{
}

AddressPosting::~AddressPosting() = default;

void AddressPosting::Reset()
{
    shuttingDown_ = ftpBusy_ = uploadRunning_ = addressPosted_ = abortFtpRequested_ = false;
    dynamicSideClosed_ = false;
    nextDataPort_ = 1555;
}

void AddressPosting::StartAddressUpload(const Preferences &) {}

void AddressPosting::StartAddressClose(const Preferences &) {}

void AddressPosting::AbortAddressPosting() {}

void AddressPosting::BeginShutdown(const Preferences &)
{
    shuttingDown_ = true;
    SetSideClosed();
}

void AddressPosting::SetSideClosed()
{
    if (dynamicSideClosed_)
        return;
    dynamicSideClosed_ = true;
    emit SideClosed();
}
