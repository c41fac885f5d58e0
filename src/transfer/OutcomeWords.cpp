// Outcome words for a person.
#include "transfer/OutcomeWords.h"

#include "core/Clock.h"
#include "transfer/Queue.h"

#include <cmath>

namespace {

// Where the attempt went, when a connection was tried: " by 192.0.2.7:4444" and the like.
QByteArray At(const char *joint, const AttemptDetail &detail)
{
    return detail.address.isEmpty() ? QByteArray() : QByteArray(joint) + detail.address;
}

// The one table: each stored short text (after "Retry Wait " or "Error: ") and what it means.
// "File Error" stands for two outcomes, told apart by the class: a retry is the receiver's
// refusal to create the file, a final error the sender's own file.
QByteArray ShortTextWords(const QByteArray &shortText, bool retry, const AttemptDetail &d)
{
    struct Row {
        const char *shortText;
        const char *words;
        const char *joint; // how the address follows the words; null when it does not
        const char *next = ""; // what the person can do, after the address
    };
    static constexpr Row Table[] = {
        {"Refused", "connection refused", " by "},
        {"10061", "connection refused", " by "},
        {"102", "the connection was dropped before the whole file had gone", " by "},
        {"Terminated", "the connection was reset before the whole file had gone", " by "},
        {"10054", "the connection was reset before the whole file had gone", " by "},
        {"10058", "the connection was shut down before the whole file had gone", " by "},
        {"10060", "no answer to the connection attempt", " from "},
        {"10050", "the network is down or unreachable", " on the way to "},
        {"Busy", "the receiver is busy: every one of its channels is in use", " at "},
        {"Bad Login", nullptr, " at "},
        {"Abort", "stopped when the program shut down", " while sending to "},
        {"Timeout", "no data moved for 180 seconds", " with "},
        {"Bad Offset", "the receiver asked to resume at a place outside the file", " at "},
        {"Domain Missing", "the peer's host name was not found", nullptr},
        {"11001", "the peer's host name was not found", nullptr},
        {"11002", "the peer's host name could not be looked up just now", nullptr},
        {"Blank Filename", "the receiver refused the file's name as blank", " at "},
        {"Unsafe Filename", "the receiver refused the file's name as unsafe", " at "},
        {"Empty File", "the receiver refused an empty file", " at "},
        {"File Missing", "the file is no longer where it was queued from", nullptr},
        {"User Deleted", "the addressee is no longer in the users list", nullptr},
        {"Request Too Long", "the name, message and logins together are too long for a receiver", nullptr},
        {"OT Missing", "the receiver's answer was missing", " at "},
        {"Peer Key Changed", "the peer's key is not the one pinned for it", " at ",
         "; Forget Key in the users window accepts its new key, then Enable sends the file again"},
        {"Peer Not Encrypted", "the peer does not encrypt, and encryption is required", " at "},
    };
    if (shortText == "Bad Login")
        // A receiver answers a refused key, or a transfer in the clear it does not take, with
        // the same refusal as a wrong login: the sender cannot tell them apart.
        return retry ? "the receiver did not accept the login and password, this installation's key, "
                       "or a transfer in the clear" + At(" at ", d)
                           + "; a receiver that pinned another key of this installation takes the new one "
                             "once Forget Key is pressed there"
                     : "the receiver could not read the request" + At(" at ", d);
    if (shortText == "File Error")
        return retry ? "the receiver cannot create the file" + At(" at ", d)
                     : QByteArray("the file cannot be opened or read, or is empty");
    if (shortText == "No Address") {
        QByteArray words = "no address for the peer";
        if (!d.pageProblem.isEmpty())
            words += ": " + d.pageProblem;
        else if (d.address.isEmpty())
            words += ": its page could not be fetched, says it is closed or names no usable address, "
                     "or a static address or port is missing";
        return words;
    }
    for (const Row &row : Table)
        if (shortText == row.shortText)
            return row.words + (row.joint ? At(row.joint, d) : QByteArray()) + row.next;
    // A socket error number the table does not know.
    bool number = false;
    shortText.toInt(&number);
    if (number)
        return "network error " + shortText + At(" with ", d);
    return shortText.isEmpty() ? QByteArray() : shortText.toLower() + At(" at ", d);
}

} // namespace

QByteArray OutcomeWords(const QByteArray &statusText, const AttemptDetail &detail)
{
    static constexpr char Retry[] = "Retry Wait ";
    static constexpr char Error[] = "Error: ";
    if (statusText.startsWith(Retry))
        return ShortTextWords(statusText.mid(sizeof(Retry) - 1), true, detail);
    if (statusText.startsWith(Error))
        return ShortTextWords(statusText.mid(sizeof(Error) - 1), false, detail);
    return {};
}

QByteArray PageProblemWords(LookupFailure failure, const QByteArray &socketStatus, const QByteArray &httpStatus)
{
    switch (failure) {
    case LookupFailure::None: return {};
    case LookupFailure::PageClosed: return "the peer's page says it is closed";
    case LookupFailure::NoAddress: return "the peer's page names no address or no usable port";
    case LookupFailure::UnusableHost: return "the peer's page names an address that cannot be used";
    case LookupFailure::NotFetched: break;
    }
    const QByteArray status = socketStatus.trimmed();
    QByteArray why;
    // "000": no status line came (the connection failed first).
    if (!httpStatus.isEmpty() && httpStatus != "000" && httpStatus != "200" && httpStatus != "206")
        // The status is the server's text up to a blank, as long as its status line: its start.
        why = "the web server answered " + (httpStatus.size() > 16 ? httpStatus.left(16) + "..." : httpStatus);
    else if (status == "881")
        why = "the web server went silent";
    else if (status == "990")
        why = "the answer was not a web page";
    else if (status == "991")
        why = "the answer was too large";
    else if (status == "992")
        why = "the answer was cut short";
    else if (status == "993")
        why = "the lookup took too long";
    else if (status == "10061")
        why = "connection refused by the web server";
    else if (status == "11001" || status == "11002")
        why = "the web server's name was not found";
    else if (status == "10060")
        why = "the web server did not answer";
    else if (!status.isEmpty() && status != "000" && status != "001" && status != "102")
        why = "network error " + status;
    else
        why = "no usable answer came";
    return "the peer's page could not be fetched: " + why;
}

QByteArray RowStatusWords(const QueueItem &item, const AttemptDetail &detail, double nowSerial)
{
    QByteArray words = OutcomeWords(item.statusText(), detail);
    if (item.status() != "W")
        return words;
    double next = 0;
    if (!ParseDateSerial(item.nextTry(), next))
        return words;
    const QDateTime at = FromDateSerial(next);
    QByteArray when;
    if (next <= nowSerial)
        when = "next try as soon as a channel is free";
    else if (std::floor(next) == std::floor(nowSerial))
        when = "next try at " + ShortTime(at);
    else
        when = "next try on " + ShortDate(at) + " at " + ShortTime(at);
    return words.isEmpty() ? when : words + "; " + when;
}
