// The lookup control: one HTTP lookup client per send channel, running side by side. The engine
// starts the lookup of a peer's address page for a send channel and hears back once, through
// Finished, with the address found on the page or the reason there is none, as soon as the
// lookup has ended.
#pragma once

#include "core/Limits.h"
#include "dynaddr/AddressPage.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <array>
#include <optional>

class Clock;
class HttpLookup;
class TransferLog;

class AddressLookup : public QObject {
    Q_OBJECT
public:
    AddressLookup(const Clock &clock, TransferLog &log, QObject *parent = nullptr);
    ~AddressLookup() override;

    // Logs "Starting IP Check For " + user and fetches the page at url for the send channel
    // (0..3). Returns the ticket that the lookup's Finished carries; a later start on the same
    // channel makes the earlier ticket stale. Finished is never emitted from inside this call.
    // Once CloseLookups has run nothing starts and 0 is returned.
    quint64 StartLookup(int channel, const QByteArray &user, const QByteArray &url);
    // A lookup of the channel is under way.
    bool Busy(int channel) const;
    // Shutdown: cuts every running lookup off without a result, logging
    // "Closing Dynamic IP URL Check " + the index with one leading blank; starts nothing after.
    void CloseLookups();

    // Trusts these certificates for https page URLs besides the system's store. Set in code
    // only (the tests' own certificate authority); no stored file or argument reaches it.
    void AlsoTrust(const QList<QSslCertificate> &certificates);
    // The last result that the lookup of a send channel (0..3) reported, with why it holds no address.
    const LookupResult &LastResult(int channel) const { return results_[channel]; }
    // The client of a send channel (0..3), for its diagnostics and its watchdog.
    HttpLookup &Client(int channel) { return *clients_[channel]; }

signals:
    // The lookup of the channel ended: its ticket, and the address on the page or why none.
    void Finished(int channel, LookupResult result);

private:
    void OnClientDone(int channel, quint64 ticket, const QByteArray &page);

    TransferLog &log_;
    std::array<QByteArray, ChannelCount> users_;
    std::array<LookupResult, ChannelCount> results_;
    std::array<HttpLookup *, ChannelCount> clients_{};
    quint64 nextTicket_ = 1;
    bool closed_ = false;
};
