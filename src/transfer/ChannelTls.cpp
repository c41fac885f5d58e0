// Encrypted transfers in the slots: the offer in the greeting, STARTTLS and its answer, the
// handshake, and the pinned keys, for the receive and the send slots. The rules are
// transfer/Upgrade's; here the slots act on them. Inside the TLS session the conversation is
// the plain one, unchanged: a single request, or a batch when the welcome offered one. A host
// without trust (the slot tests) keeps every slot plain.
#include "core/Clock.h"
#include "transfer/BatchProtocol.h"
#include "transfer/Connection.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"
#include "transfer/ReceiveChannel.h"
#include "transfer/SendChannel.h"
#include "transfer/Upgrade.h"

using namespace Protocol;

// ---- Receive slot ------------------------------------------------------------------------

QByteArray ReceiveChannel::Greeting()
{
    const PeerTrust *trust = host_->TransferTrust();
    Tls.offered = trust && trust->CanEncrypt() && host_->EncryptionPreference() != EncryptionSetting::Off;
    return Upgrade::Greeting(Tls.offered);
}

bool ReceiveChannel::TakeUpgradeCommand()
{
    const bool encrypting = Conn && Conn->IsEncrypting();
    switch (Upgrade::ClassifyMessage(Buffer, Tls.offered, encrypting)) {
    case Upgrade::ReceiverStep::Request:
        return false;
    case Upgrade::ReceiverStep::RefuseNoOffer:
        Buffer.clear();
        host_->LogLine("STARTTLS without an offer from " + PeerAddress);
        SendRefusal(BadRequestCode);
        return true;
    case Upgrade::ReceiverStep::StartTls:
        // The answer goes out in the clear, then this end waits for the sender's handshake.
        Buffer.clear();
        Tls.step = ChannelEncryption::Handshaking;
        Write(Upgrade::GoAheadReply);
        if (Conn)
            Conn->StartServerEncryption(host_->TransferTrust()->Configuration());
        return true;
    }
    return false;
}

void ReceiveChannel::OnEncrypted()
{
    LastActivity = host_->SlotClock().now();
    if (host_->Stopping() || State != ReceiveState::Greeted || !Conn)
        return;
    // The request has its own time from here; a sender that showed no certificate counts as plain.
    GreetedAt = LastActivity;
    Tls.step = ChannelEncryption::Encrypted;
    Tls.peerKey = KeyFingerprint(Conn->PeerCertificate());
}

void ReceiveChannel::OnHandshakeFailed(const QByteArray &reason)
{
    LastActivity = host_->SlotClock().now();
    if (host_->Stopping() || State == ReceiveState::Idle || Letter != ReceiveLetter::Connected)
        return;
    host_->LogLine("Encryption failed with " + PeerAddress + ": " + reason);
    Result = OutcomeCode::Closed;
    Finish();
}

bool ReceiveChannel::KeyRefusesRequest(const RequestCheck &check)
{
    // Only a request whose login and password matched a user is judged by its key.
    PeerTrust *trust = host_->TransferTrust();
    if (!trust || check.code == BadLoginCode || !host_->LoginValid(check.login, check.password))
        return false;
    const QByteArray offered = Conn && Conn->IsEncrypted() ? Tls.peerKey : QByteArray();
    const Upgrade::ReceiverTrust t =
        Upgrade::DecideRequestTrust(check.login, host_->EncryptionPreference(), trust->ViewOf(check.login), offered);
    if (t.refuse) {
        host_->LogLine(t.logLine);
        return true;
    }
    if (t.pin)
        host_->LogLine(trust->Pin(check.login, offered));
    return false;
}

// ---- Send slot ---------------------------------------------------------------------------

bool SendChannel::TakeUpgradeReply()
{
    switch (Tls.step) {
    case ChannelEncryption::Plain:
        return false;
    case ChannelEncryption::Handshaking:
    case ChannelEncryption::Encrypted:
        return true; // nothing is expected before the request has gone out
    case ChannelEncryption::StartTlsSent:
        break;
    }
    const QByteArray reply = Buffer;
    Buffer.clear();
    if (!Upgrade::IsGoAhead(reply) || !Conn) {
        const QByteArray code = ReplyCode(reply);
        Result = code.isEmpty() ? QByteArray(OutcomeCode::NoWelcome) : code;
        HandleOutcome();
        return true;
    }
    Tls.step = ChannelEncryption::Handshaking;
    LastActivity = host_->SlotClock().now();
    Conn->StartClientEncryption(host_->TransferTrust()->Configuration());
    return true;
}

void SendChannel::AnswerGreeting(const QByteArray &greeting)
{
    PeerTrust *trust = host_->TransferTrust();
    const Upgrade::PinView pin = trust ? trust->ViewOf(UserName) : Upgrade::PinView{};
    const EncryptionSetting setting = trust ? host_->EncryptionPreference() : EncryptionSetting::Off;
    const Upgrade::SenderDecision d = Upgrade::DecideGreeting(greeting, setting, trust && trust->CanEncrypt(), pin);
    // The offer of a batch holds for the conversation, in the clear or inside the session.
    BatchOffered = BatchProtocol::OffersBatch(greeting);
    switch (d.step) {
    case Upgrade::SenderStep::Refuse:
        Result = d.code;
        Tls.detail = d.detail;
        HandleOutcome();
        return;
    case Upgrade::SenderStep::StartTls:
        Tls.step = ChannelEncryption::StartTlsSent;
        if (Conn)
            Conn->Write(Upgrade::StartTlsCommand);
        return;
    case Upgrade::SenderStep::Request:
        if (!OfferBatch())
            WriteRequest();
        return;
    }
}

void SendChannel::OnEncrypted()
{
    LastActivity = host_->SlotClock().now();
    PeerTrust *trust = host_->TransferTrust();
    if (host_->Stopping() || State != SendState::Connecting || !Conn || !trust)
        return;
    // The receiver's key is checked before anything is written inside the session.
    const QByteArray key = KeyFingerprint(Conn->PeerCertificate());
    const Upgrade::SenderKeyCheck check = Upgrade::CheckReceiverKey(trust->ViewOf(UserName), key);
    if (!check.ok) {
        Result = OutcomeCode::KeyChanged;
        Tls.detail = check.detail;
        HandleOutcome();
        return;
    }
    Tls.step = ChannelEncryption::Encrypted;
    Tls.peerKey = key;
    Tls.pinAfterReply = check.pinAfterReply;
    if (!OfferBatch())
        WriteRequest();
}

void SendChannel::OnHandshakeFailed(const QByteArray &reason)
{
    LastActivity = host_->SlotClock().now();
    if (!InUse())
        return;
    Result = OutcomeCode::Closed;
    Tls.detail = ": encryption failed (" + reason + ")";
    HandleOutcome();
}

void SendChannel::PinAfterReply(const QByteArray &replyCode)
{
    PeerTrust *trust = host_->TransferTrust();
    if (!trust || !Tls.pinAfterReply || !Upgrade::ReplySetsPin(replyCode))
        return;
    Tls.pinAfterReply = false;
    host_->LogLine(trust->Pin(UserName, Tls.peerKey));
}
