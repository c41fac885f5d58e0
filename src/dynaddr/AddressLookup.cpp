// Until the HTTP lookup client exists, every lookup ends without an address.
#include "dynaddr/AddressLookup.h"

#include "core/TransferLog.h"

#include <QTimer>

AddressLookup::AddressLookup(const Clock &clock, TransferLog &log, QObject *parent)
    : QObject(parent), clock_(clock), log_(log)
{
}

AddressLookup::~AddressLookup() = default;

quint64 AddressLookup::StartLookup(int channel, const QByteArray &user, const QByteArray &url)
{
    Q_UNUSED(url);
    if (closed_ || channel < 0 || channel > 3)
        return 0;
    const quint64 ticket = nextTicket_++;
    tickets_[channel] = ticket;
    log_.Showit("Starting IP Check For " + user);
    QTimer::singleShot(0, this, [this, channel, ticket] {
        if (closed_ || tickets_[channel] != ticket)
            return;
        tickets_[channel] = 0;
        emit Finished(channel, ticket, std::nullopt);
    });
    return ticket;
}

bool AddressLookup::Busy(int channel) const
{
    return channel >= 0 && channel < 4 && tickets_[channel] != 0;
}

void AddressLookup::CloseLookups()
{
    closed_ = true;
    for (int i = 0; i < 4; ++i) {
        if (tickets_[i] == 0)
            continue;
        tickets_[i] = 0;
        log_.Showit("Closing Dynamic IP URL Check " + QByteArray(" ") + QByteArray::number(i));
    }
}
