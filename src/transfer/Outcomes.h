// The send outcome table: every code that ends a send attempt becomes one log line, one of
// three classes (delivered, retry later, give up) and the short text shown in the queue row.
#pragma once

#include "transfer/SlotStates.h"

#include <QByteArray>
#include <cstdint>

// What an ending means for the queue row; stored nowhere, so it has no letter in the code.
// The outcome table of the design calls the classes "A", "B" and "C", in this order.
enum class OutcomeClass {
    Delivered,   // "A": the row is sent
    RetryLater,  // "B": the row waits and is tried again
    Failed,      // "C": the row has failed for good
};

struct Outcome {
    OutcomeClass outcomeClass = OutcomeClass::Failed;
    QByteArray logLine;
    QByteArray shortText;
};

// Codes are compared as whole texts; a code not in the table has failed for good, logged as
// "Send Error " + code and shown as itself.
Outcome ClassifyOutcome(const QByteArray &code, const QByteArray &user, const QByteArray &file,
                        const QByteArray &path);

// The words a queue row shows after "Retry Wait " or "Error: "; an unlisted code is its own text.
QByteArray ShortStatusText(const QByteArray &code);

// The outcome of a send connection that the peer or the network closed: "260" once everything
// was sent, "425" before any greeting, "102" otherwise.
QByteArray SendCloseOutcome(SendState state, int64_t bytesLeft);

// What a receiver's resume offset leaves to send: "445" for an offset outside the file (sending
// from there would corrupt the receiver's copy), "440" when nothing is left, else empty.
struct ResumePlan {
    QByteArray code;
    int64_t bytesLeft = 0;
};
ResumePlan PlanResume(int64_t offset, int64_t fileSize);

// The receive outcome table: what ended a receive becomes at most one log line.
struct ReceiveEnding {
    QByteArray code;      // the slot's Result (a refusal already sent takes its place)
    ReceiveState state = ReceiveState::Idle;
    int slot = 0;         // 0..3
    QByteArray peerAddress, login, fileName;
    bool unsafeName = false;
    bool writeFailed = false;
    int64_t bytesReceived = 0;
    int64_t announcedSize = 0;
};
struct ReceiveOutcome {
    QByteArray logLine;         // empty: nothing is logged
    bool fileDelivered = false; // the whole file (or more) arrived
};
ReceiveOutcome ClassifyReceiveEnding(const ReceiveEnding &ending);

// The codes that end an attempt, as the slots' Result holds them. Replies that travel between
// peers ("101", "401" to "406") are Protocol's; a socket error is its error number as text.
namespace OutcomeCode {
inline constexpr char None[] = "000";        // nothing has ended the attempt yet
inline constexpr char Closed[] = "102";      // the connection closed
inline constexpr char Sent[] = "260";        // everything sent, closed by the receiver
inline constexpr char Busy[] = "400";        // BUSY greeting
inline constexpr char NoAddress[] = "420";   // no usable host and port, or the lookup found none
inline constexpr char NoWelcome[] = "425";   // no WELCOME before the close
inline constexpr char NothingLeft[] = "440"; // the receiver holds the whole file already
inline constexpr char FileError[] = "441";   // the file cannot be opened or read, or is empty
inline constexpr char FileMissing[] = "442"; // no file at the path, or a folder
inline constexpr char UnknownUser[] = "443"; // the addressee is not in the address book
inline constexpr char Aborted[] = "444";     // shutdown
inline constexpr char BadOffset[] = "445";   // a resume offset outside the file
inline constexpr char TooLong[] = "446";     // the request would exceed what a receiver takes
inline constexpr char KeyChanged[] = "447";  // the peer's key is not the pinned one (or the pins cannot be read)
inline constexpr char NotEncrypted[] = "448"; // the peer does not encrypt where it must
inline constexpr char TimedOut[] = "813";    // 180 seconds of silence
} // namespace OutcomeCode
