// What an installation trusts in encrypted transfers: its own key and certificate, and the keys
// pinned for the users of its address book. The engine owns one; the channels ask it what the
// rules of the upgrade allow (transfer/Upgrade) and tell it the keys their peers showed.
#pragma once

#include "core/Identity.h"
#include "core/Pins.h"
#include "core/Users.h"
#include "transfer/Upgrade.h"

#include <QByteArray>
#include <QList>
#include <QSslConfiguration>
#include <QString>

// Where one channel's connection stands with encryption; reset with the channel.
struct ChannelEncryption {
    enum Step { Plain, StartTlsSent, Handshaking, Encrypted };
    Step step = Plain;
    bool offered = false;       // receive: the greeting offered STARTTLS
    QByteArray peerKey;         // the fingerprint of the certificate the peer showed
    bool pinAfterReply = false; // send: pin peerKey once the receiver accepts
    QByteArray detail;          // send: added to the outcome's log line
};

class PeerTrust {
public:
    // Reads the key file of the program folder (made at the first start) and the pins file; the
    // lines to log about either (a damaged or unwritable key file, an unreadable pins file).
    QList<QByteArray> Load(const QString &programFolder);

    // False when the key file is damaged or could not be made: nothing is offered or asked for.
    bool CanEncrypt() const { return identity_.IsValid(); }
    const Identity &Own() const { return identity_; }
    // The own fingerprint in groups of four, as people compare it; empty without a key.
    QByteArray OwnFingerprint() const;
    // The TLS settings of both ends (see TransferTlsConfiguration).
    QSslConfiguration Configuration() const;

    Upgrade::PinView ViewOf(const QByteArray &user) const;
    // Pins the key a user's installation showed; the line to log.
    QByteArray Pin(const QByteArray &user, const QByteArray &fingerprint);
    // The person's "Forget Key": the next encrypted exchange pins again. False when the pins
    // file is unreadable or cannot be written.
    bool Forget(const QByteArray &user);
    // Drops the pins of users no longer in the address book.
    void KeepOnlyPinsOf(const UserList &users);
    const PinStore &Pins() const { return pins_; }

private:
    Identity identity_;
    PinStore pins_;
};
