// Fuzzes the upgrade to TLS: the sender's reading of a greeting and of the answer to STARTTLS,
// and the receiver's reading of what stands in place of the request, with hostile bytes. The
// rules must hold for any input: STARTTLS is sent only to an offer and never when the setting
// is Off, nothing goes in the clear to a pinned user or under Require, TLS starts only on a
// whole "110", and the receiver starts TLS only for the exact command after its own offer.
// Broken invariants abort so the fuzzer reports them. Seeds are in tests/fuzz/seeds-upgrade.
#include "transfer/Protocol.h"
#include "transfer/Upgrade.h"
#include "FuzzSupport.h"

using namespace Upgrade;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = InputBytes(data, size);
    const bool offers = OffersEncryption(bytes);
    Require(!offers || Protocol::IsWelcome(bytes));

    const QByteArray fp(64, 'A');
    for (EncryptionSetting setting : {EncryptionSetting::Off, EncryptionSetting::Prefer, EncryptionSetting::Require}) {
        for (const PinView &pin : {PinView{}, PinView{false, fp}, PinView{true, std::nullopt}}) {
            for (bool canEncrypt : {false, true}) {
                const SenderDecision d = DecideGreeting(bytes, setting, canEncrypt, pin);
                if (d.step == SenderStep::StartTls)
                    Require(offers && canEncrypt && setting != EncryptionSetting::Off && !pin.unreadable);
                if (d.step == SenderStep::Request)
                    Require(!pin.pinned && !pin.unreadable && setting != EncryptionSetting::Require &&
                            Protocol::IsWelcome(bytes));
                if (d.step == SenderStep::Refuse)
                    Require(d.code == "425" || d.code == "447" || d.code == "448");
            }
        }
    }

    if (IsGoAhead(bytes))
        Require(bytes.startsWith("110") && bytes.endsWith("\r\r") && bytes.indexOf("\r\r") == bytes.size() - 2);

    for (bool offered : {false, true})
        for (bool encrypted : {false, true}) {
            const ReceiverStep step = ClassifyMessage(bytes, offered, encrypted);
            if (step != ReceiverStep::Request)
                Require(bytes == StartTlsCommand && !encrypted);
            if (step == ReceiverStep::StartTls)
                Require(offered);
        }

    // A request's words as a login and a fingerprint: refusals always say why, and a pin is only
    // ever set for a key that was shown.
    const qsizetype cut = bytes.indexOf('\x01');
    const QByteArray login = cut < 0 ? bytes : bytes.left(cut);
    const QByteArray offered = cut < 0 ? QByteArray() : bytes.mid(cut + 1);
    for (const PinView &pin : {PinView{}, PinView{false, fp}, PinView{true, std::nullopt}}) {
        const ReceiverTrust t = DecideRequestTrust(login, EncryptionSetting::Prefer, pin, offered);
        Require(!t.refuse || !t.logLine.isEmpty());
        Require(!t.pin || (!offered.isEmpty() && !t.refuse && !pin.pinned));
        if (pin.pinned && offered != fp)
            Require(t.refuse);
    }
    return 0;
}
