// The upgrade of a peer connection to TLS, and the trust in the peer's key, as plain decisions.
// No sockets here: the receive and send channels feed what they have buffered and what the TLS
// layer reported, and act on the answer.
//
// The conversation: a receiver whose setting is not Off greets with the offer (the word
// STARTTLS after the WELCOME). A sender that sees it, and may encrypt, answers "STARTTLS"
// instead of its request; the receiver answers "110 GO AHEAD" and both run TLS 1.3 on the same
// connection (receiver as server), inside which the request, the reply and the file follow the
// plain conversation exactly. An installation that knows nothing of this reads the offer as a
// plain WELCOME by its code and is never sent STARTTLS, so it keeps working in the clear.
//
// Trust: each address-book entry has at most one pinned key fingerprint, set by the first
// encrypted exchange with it and required in both directions afterwards; once pinned, a plain
// exchange with that user is refused.
#pragma once

#include "core/Preferences.h"

#include <QByteArray>
#include <optional>

namespace Upgrade {

inline constexpr char OfferingWelcome[] = "100 PARCELWISE WELCOME STARTTLS\r\r";
inline constexpr char StartTlsCommand[] = "STARTTLS\r\r";
inline constexpr char GoAheadReply[] = "110 GO AHEAD\r\r";
inline constexpr char GoAheadCode[] = "110";

// What the receiver greets with: the offer when it may encrypt, the plain WELCOME otherwise.
QByteArray Greeting(bool offer);

// A WELCOME greeting whose words after the code include STARTTLS (words are separated by
// blanks; the terminator and anything after it are not read).
bool OffersEncryption(const QByteArray &greeting);

// What the sender knows of a user's pin.
struct PinView {
    bool unreadable = false;            // the pins file cannot be read: every user may be pinned
    std::optional<QByteArray> pinned;   // the pinned fingerprint
};

// The sender's answer to a complete greeting.
enum class SenderStep {
    Request,  // send the request in the clear
    StartTls, // send STARTTLS and wait for "110"
    Refuse,   // end the attempt with code
};
struct SenderDecision {
    SenderStep step = SenderStep::Refuse;
    QByteArray code;   // for Refuse: "425" no WELCOME, "447" pins unreadable, "448" not encrypted
    QByteArray detail; // added to the outcome's log line
};
SenderDecision DecideGreeting(const QByteArray &greeting, EncryptionSetting setting, bool canEncrypt,
                              const PinView &pin);

// After STARTTLS: TLS starts only on a complete "110" reply with nothing after its terminator;
// any other reply ends the attempt with its first three characters.
bool IsGoAhead(const QByteArray &reply);

// The sender's check of the receiver's key, made once the handshake is done and before the
// request is written. An empty offered fingerprint (no certificate) fails like a changed key.
struct SenderKeyCheck {
    bool ok = false;
    bool pinAfterReply = false; // nothing pinned yet: pin once the receiver answers "101" or "406"
    QByteArray detail;          // for a refusal: ": pinned X, offered Y"
};
SenderKeyCheck CheckReceiverKey(const PinView &pin, const QByteArray &offered);
// Which replies set a pin (an exchange the receiver accepted).
bool ReplySetsPin(const QByteArray &replyCode);

// What the receiver makes of a complete message in place of the request.
enum class ReceiverStep {
    Request,        // read it as the request
    StartTls,       // answer "110 GO AHEAD" and start TLS as the server
    RefuseNoOffer,  // STARTTLS that was never offered: "401" and the close
};
// STARTTLS counts only as the whole buffered message (STARTTLS and the terminator, nothing
// after), only in the clear and only after the offer; anything else is a request.
ReceiverStep ClassifyMessage(const QByteArray &buffered, bool offered, bool encrypted);

// The receiver's verdict on a request whose login and password matched a user.
struct ReceiverTrust {
    bool refuse = false;  // answer "402"
    bool pin = false;     // pin the offered fingerprint for this login
    QByteArray logLine;   // for a refusal
};
// offered: the fingerprint of the certificate the sender showed in the handshake, empty when
// the exchange is plain or the sender showed none (which counts as plain).
ReceiverTrust DecideRequestTrust(const QByteArray &login, EncryptionSetting setting, const PinView &pin,
                                 const QByteArray &offered);

} // namespace Upgrade
