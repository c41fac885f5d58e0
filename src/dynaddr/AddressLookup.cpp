// The lookup control: starts a send channel's HTTP lookup, reads the page it brings back, and
// cuts every lookup off at shutdown.
#include "dynaddr/AddressLookup.h"

#include "core/TextUtil.h"
#include "core/TransferLog.h"
#include "dynaddr/HttpLookup.h"

#include <algorithm>

namespace {

// A text from elsewhere as a log line may show it: cut to limit bytes (not inside a UTF-8
// sequence), its control characters escaped.
QByteArray Shown(const QByteArray &text, qsizetype limit)
{
    if (text.size() <= limit)
        return EscapeControls(text);
    qsizetype cut = limit;
    for (int back = 0; back < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back)
        --cut;
    return EscapeControls(text.left(cut)) + "...";
}

} // namespace

AddressLookup::AddressLookup(const Clock &clock, TransferLog &log, QObject *parent)
    : QObject(parent), log_(log)
{
    for (int i = 0; i < ChannelCount; ++i) {
        clients_[i] = new HttpLookup(i, clock, this);
        connect(clients_[i], &HttpLookup::Done, this, &AddressLookup::OnClientDone);
    }
}

AddressLookup::~AddressLookup() = default;

quint64 AddressLookup::StartLookup(int channel, const QByteArray &user, const QByteArray &url)
{
    if (closed_ || channel < 0 || channel >= ChannelCount)
        return 0;
    const quint64 ticket = nextTicket_++;
    users_[channel] = user;
    log_.Showit("Starting IP Check For " + user);
    clients_[channel]->Start(ticket, url);
    return ticket;
}

// A client reports only the lookup under way: one cut off (by a newer start or the shutdown)
// reports nothing. Whether the result is still wanted is the caller's one check, by its ticket.
void AddressLookup::OnClientDone(int channel, quint64 ticket, const QByteArray &page)
{
    LookupResult result = ParseAddressPage(page);
    result.Ticket = ticket;
    const QByteArrayList &words = clients_[channel]->Reader().Words();
    if (std::any_of(words.begin(), words.end(), [](const QByteArray &w) { return w.startsWith("ERR"); }))
        result.Failure = LookupFailure::NotFetched;
    if (result.Failure == LookupFailure::UnusableHost)
        log_.Showit("Unusable address on the page of " + users_[channel] + ": " + Shown(result.RefusedHost, 80));
    results_[channel] = result;
    emit Finished(channel, result);
}

bool AddressLookup::Busy(int channel) const
{
    return channel >= 0 && channel < ChannelCount && clients_[channel]->Busy();
}

void AddressLookup::CloseLookups()
{
    closed_ = true;
    for (int i = 0; i < ChannelCount; ++i) {
        if (!clients_[i]->Busy())
            continue;
        clients_[i]->Cut();
        log_.Showit("Closing Dynamic IP URL Check " + QByteArray(" ") + QByteArray::number(i));
    }
}

void AddressLookup::AlsoTrust(const QList<QSslCertificate> &certificates)
{
    for (HttpLookup *client : clients_)
        client->SetExtraCaCertificates(certificates);
}
