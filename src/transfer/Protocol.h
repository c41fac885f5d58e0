// The peer conversation as plain functions: greetings, the enciphered request, replies and framing.
// No sockets here; the receive and send channels feed buffers in and send what these return.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <functional>

namespace Protocol {

// Every control message (greeting, request, reply) ends with two carriage returns, no line feed.
inline constexpr char Terminator[] = "\r\r";
inline constexpr char WelcomeGreeting[] = "100 PARCELWISE WELCOME\r\r";
inline constexpr char BusyGreeting[] = "400 PARCELWISE BUSY\r\r";
// The largest request a receiver takes, terminator included. A longer one is refused with
// "401" however TCP splits it, and the sender never sends one.
inline constexpr int64_t MaxRequestSize = 65536;
// The longest message the queue takes, in bytes as it travels in the request: with it the
// request stays under MaxRequestSize for any login, password and file name of usual length.
inline constexpr int64_t MaxMessageSize = 30000;

// The reply codes the receiver sends; anything else never travels between peers.
inline constexpr char AcceptCode[] = "101";
inline constexpr char BadRequestCode[] = "401";
inline constexpr char BadLoginCode[] = "402";
inline constexpr char BlankNameCode[] = "403";
inline constexpr char ZeroSizeCode[] = "404";
inline constexpr char CannotCreateCode[] = "405";
inline constexpr char FileExistsCode[] = "406";

// True once the two-CR sequence occurs anywhere in what has been buffered; the whole buffer
// is then the message.
bool HasTerminator(const QByteArray &buffer);

// What the receiver makes of the bytes buffered since its WELCOME. The request is complete once
// its terminator ends within the first MaxRequestSize bytes; once that many bytes have come
// without one it is too long. The answer depends only on the bytes, never on how they were
// split into arrivals: a prefix that is already decided decides the whole the same way.
enum class RequestFraming { Incomplete, Complete, TooLong };
RequestFraming FrameRequest(const QByteArray &buffered);

// ---- Sender side -------------------------------------------------------------------------

// 2 to 10 digits, each 1..9: a count n from 1 to 9 is drawn first, then n + 1 digits.
QByteArray RandomDigits();

// The plaintext request: eight fields, each followed by the code-1 separator. The salt gets
// "v1" put in front of it; code-1 bytes in the message become blanks so it stays one field.
QByteArray BuildRequestRecord(const QByteArray &salt, const QByteArray &login, const QByteArray &password,
                              const QByteArray &fileName, int64_t fileSize, const QByteArray &message);
// What goes on the wire: the record enciphered as hex, then the terminator. Callers pass
// RandomDigits() as the salt; tests pass a fixed one.
QByteArray BuildRequest(const QByteArray &salt, const QByteArray &login, const QByteArray &password,
                        const QByteArray &fileName, int64_t fileSize, const QByteArray &message);

// The size BuildRequest gives for these fields with the longest salt: what a send must check
// against MaxRequestSize before it connects.
int64_t LongestRequestSize(const QByteArray &login, const QByteArray &password, const QByteArray &fileName,
                           int64_t fileSize, const QByteArray &message);

// Any greeting that begins with "100" lets the request go, whatever follows the code.
bool IsWelcome(const QByteArray &greeting);
// The first three characters of a reply (fewer if the reply is shorter): the outcome code, its
// control characters escaped.
QByteArray ReplyCode(const QByteArray &reply);
// For a "101" reply: the leading number after the code, CRs removed, rounded half-even;
// 0 when there is none. A negative or oversized value is returned as read; the send channel
// decides what to do with an offset outside its file.
int64_t ResumeOffset(const QByteArray &reply);

// ---- Receiver side -----------------------------------------------------------------------

QByteArray AcceptReply(int64_t offset);          // "101" + offset + terminator
QByteArray RefusalReply(const QByteArray &code); // code + terminator

// Decides whether a login name and password belong to one of the receiver's users.
using LoginCheck = std::function<bool(const QByteArray &login, const QByteArray &password)>;

// The outcome of checking a request. Fields are filled as far as the check got.
struct RequestCheck {
    QByteArray code;         // empty: accepted so far; else "401".."404"
    bool unsafeName = false; // the "403" is for a name that would leave the downloads folder
                             // or holds a control character
    QByteArray login;
    QByteArray password;
    QByteArray fileName; // as sent, untrimmed: leading and trailing blanks are kept
    int64_t announcedSize = 0;
    QByteArray message;      // every CR turned into CR LF
    bool hasMessage = false; // false when the message is blank or just one line break
};

// A plain file name for the downloads folder: no "/" or "\", not "." or "..", no drive in
// front ("C:"), and no control character as the name reads (HasControlChars: codes 0 to 31
// and 127, U+0080 to U+009F, and the five bytes Windows-1252 leaves undefined), so that a name
// can neither forge a log line nor drive a terminal. Blankness is checked separately.
bool IsSafeFileName(const QByteArray &name);

// Checks a complete request as buffered (terminator and any CR/LF included): CRs and LFs are
// removed, the rest deciphered, and the fields read left to right so that the first failing
// step decides the code. A null loginCheck accepts nobody.
// Not checked here because they need the downloads folder: "406" (a file of that name already
// holds at least the announced size) and "405" (the file cannot be opened); the receive
// channel runs those after an empty code, in that order.
RequestCheck CheckRequest(const QByteArray &buffered, const LoginCheck &loginCheck);

} // namespace Protocol
