// The own identity and the pinned keys, loaded at start-up and kept while the program runs.
#include "transfer/PeerTrust.h"

#include "transfer/Connection.h"

QList<QByteArray> PeerTrust::Load(const QString &programFolder)
{
    QList<QByteArray> lines;
    const IdentityLoad load = LoadOrMakeIdentity(programFolder);
    identity_ = load.identity;
    switch (load.status) {
    case IdentityLoad::Loaded:
        break;
    case IdentityLoad::Made:
        lines << "Made the key of this installation: " + GroupedFingerprint(identity_.fingerprint);
        break;
    case IdentityLoad::Damaged:
        lines << QByteArray(KeyFileName) + " is damaged (" + load.problem +
                     "); it is kept as it is and transfers are not encrypted until it is mended";
        break;
    case IdentityLoad::CannotWrite:
        lines << QByteArray("Cannot make ") + KeyFileName + " (" + load.problem +
                     "); transfers are not encrypted";
        break;
    }
    pins_.Load(programFolder);
    if (pins_.Unreadable())
        lines << QByteArray("Cannot read ") + PinsFileName + " (" + pins_.Problem() +
                     "); it is kept as it is and exchanges with every user are refused until it is mended";
    return lines;
}

QByteArray PeerTrust::OwnFingerprint() const
{
    return CanEncrypt() ? GroupedFingerprint(identity_.fingerprint) : QByteArray();
}

QSslConfiguration PeerTrust::Configuration() const
{
    return TransferTlsConfiguration(identity_.key, identity_.certificate);
}

Upgrade::PinView PeerTrust::ViewOf(const QByteArray &user) const
{
    return Upgrade::PinView{pins_.Unreadable(), pins_.PinOf(user)};
}

QByteArray PeerTrust::Pin(const QByteArray &user, const QByteArray &fingerprint)
{
    const QByteArray line = "Pinned the key of " + user + ": " + GroupedFingerprint(fingerprint);
    if (!pins_.Pin(user, fingerprint))
        return line + QByteArray(" (") + PinsFileName + " cannot be written: for this run only)";
    return line;
}

bool PeerTrust::Forget(const QByteArray &user)
{
    return pins_.Forget(user);
}

void PeerTrust::KeepOnlyPinsOf(const UserList &users)
{
    QList<QByteArray> names;
    for (const UserRecord &u : users)
        names << FieldOf(u, UserName);
    pins_.KeepOnly(names);
}
