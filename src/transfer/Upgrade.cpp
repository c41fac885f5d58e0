// The upgrade to TLS and the pin rules.
#include "transfer/Upgrade.h"

#include "core/Identity.h"
#include "transfer/Protocol.h"

namespace Upgrade {

namespace {

QByteArray Before(const QByteArray &message)
{
    const qsizetype end = message.indexOf(Protocol::Terminator);
    return end < 0 ? message : message.left(end);
}

QByteArray KeyDetail(const QByteArray &pinned, const QByteArray &offered)
{
    return ": pinned " + GroupedFingerprint(pinned) + ", offered " +
           (offered.isEmpty() ? QByteArray("no key") : GroupedFingerprint(offered));
}

} // namespace

QByteArray Greeting(bool offer)
{
    return offer ? QByteArray(OfferingWelcome) : QByteArray(Protocol::WelcomeGreeting);
}

bool OffersEncryption(const QByteArray &greeting)
{
    if (!Protocol::IsWelcome(greeting))
        return false;
    const QList<QByteArray> words = Before(greeting).split(' ');
    for (qsizetype i = 1; i < words.size(); ++i)
        if (words[i] == "STARTTLS")
            return true;
    return false;
}

SenderDecision DecideGreeting(const QByteArray &greeting, EncryptionSetting setting, bool canEncrypt,
                              const PinView &pin)
{
    SenderDecision d;
    if (!Protocol::IsWelcome(greeting)) {
        d.code = "425";
        return d;
    }
    if (pin.unreadable) {
        d.code = "447";
        d.detail = ": the pins file cannot be read";
        return d;
    }
    if (OffersEncryption(greeting) && setting != EncryptionSetting::Off && canEncrypt) {
        d.step = SenderStep::StartTls;
        return d;
    }
    if (pin.pinned || setting == EncryptionSetting::Require) {
        d.code = "448";
        return d;
    }
    d.step = SenderStep::Request;
    return d;
}

bool IsGoAhead(const QByteArray &reply)
{
    const qsizetype end = reply.indexOf(Protocol::Terminator);
    return reply.startsWith(GoAheadCode) && end >= 0 && end + 2 == reply.size();
}

SenderKeyCheck CheckReceiverKey(const PinView &pin, const QByteArray &offered)
{
    SenderKeyCheck c;
    if (pin.unreadable) {
        c.detail = ": the pins file cannot be read";
        return c;
    }
    if (offered.isEmpty()) {
        c.detail = KeyDetail(pin.pinned.value_or(QByteArray()), offered);
        if (!pin.pinned)
            c.detail = ": offered no key";
        return c;
    }
    if (pin.pinned && *pin.pinned != offered) {
        c.detail = KeyDetail(*pin.pinned, offered);
        return c;
    }
    c.ok = true;
    c.pinAfterReply = !pin.pinned;
    return c;
}

bool ReplySetsPin(const QByteArray &replyCode)
{
    return replyCode == Protocol::AcceptCode || replyCode == Protocol::FileExistsCode;
}

ReceiverStep ClassifyMessage(const QByteArray &buffered, bool offered, bool encrypted)
{
    if (encrypted || buffered != StartTlsCommand)
        return ReceiverStep::Request;
    return offered ? ReceiverStep::StartTls : ReceiverStep::RefuseNoOffer;
}

ReceiverTrust DecideRequestTrust(const QByteArray &login, EncryptionSetting setting, const PinView &pin,
                                 const QByteArray &offered)
{
    ReceiverTrust t;
    if (pin.unreadable) {
        t.refuse = true;
        t.logLine = "Cannot check the key of " + login + ": the pins file cannot be read";
        return t;
    }
    if (offered.isEmpty()) {
        if (pin.pinned || setting == EncryptionSetting::Require) {
            t.refuse = true;
            t.logLine = "Refused unencrypted request from " + login;
        }
        return t;
    }
    if (pin.pinned && *pin.pinned != offered) {
        t.refuse = true;
        t.logLine = "Refused key for " + login + KeyDetail(*pin.pinned, offered);
        return t;
    }
    t.pin = !pin.pinned;
    return t;
}

} // namespace Upgrade
