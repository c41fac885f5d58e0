// The send outcome table and the short status texts of the queue rows.
#include "transfer/Outcomes.h"

#include "core/SocketErrors.h"
#include "core/TextUtil.h"

#include <string_view>

namespace {

struct OutcomeRow {
    std::string_view code;
    OutcomeClass outcomeClass;
    // {user}, {file} and {path} are filled in one pass, so a name holding such a token stays as it is.
    std::string_view logPattern;
};

using enum OutcomeClass;

constexpr OutcomeRow OutcomeTable[] = {
    {"260", Delivered, "Successfully sent {file} to {user}"},
    {"406", Delivered, "Remote File Already Exists - {file} sent to {user}"},
    {"440", Delivered, "Remote File Already Exists - {file} sent to {user}"},
    {"101", RetryLater, "Connection refused to {user} sending {file}"},
    {"10061", RetryLater, "Connection refused to {user} sending {file}"},
    {"102", RetryLater, "Connection dropped by {user} sending {file}"},
    {"104", RetryLater, "Connection prematurely dropped by {user} sending {file}"},
    {"10054", RetryLater, "Connection prematurely dropped by {user} sending {file}"},
    {"10058", RetryLater, "Connection prematurely dropped by {user} sending {file}"},
    {"400", RetryLater, "Parcelwise Busy at {user} sending {file}"},
    {"425", RetryLater, "Parcelwise Busy at {user} sending {file}"},
    {"402", RetryLater, "Bad Login to {user} sending {file}"},
    {"405", RetryLater, "Remote Cannot Create File {user} sending {file}"},
    {"420", RetryLater, "Cannot retrieve IP for {user}"},
    {"444", RetryLater, "Abort Comms - {file}"},
    {"445", RetryLater, "Bad Resume Offset from {user} sending {file}"},
    {"813", RetryLater, "Timeout Sending {file}"},
    {"103", Failed, "Domain not found - {user}"},
    {"11001", Failed, "Domain not found - {user}"},
    {"11002", Failed, "Domain not found - {user}"},
    {"401", Failed, "Badly formed File Request to {user} sending {file}"},
    {"403", Failed, "Blank File Name Sent to - {user}"},
    {"404", Failed, "Zero Byte File Sent to {user} sending {file}"},
    {"441", Failed, "Cannot Open File - {path}"},
    {"442", Failed, "File not found - {path}"},
    {"443", Failed, "User not found - {user}"},
    {"446", Failed, "File Request Too Long to {user} sending {file}"},
    {"447", Failed, "Peer Key Changed for {user}"},
    {"448", Failed, "Peer Not Encrypted - {user}"},
};

struct ShortTextRow {
    std::string_view code;
    std::string_view text;
};

constexpr ShortTextRow ShortTexts[] = {
    {"100", "OT Missing"},   {"101", "Refused"},        {"104", "Terminated"}, {"400", "Busy"},
    {"425", "Busy"},         {"402", "Bad Login"},      {"405", "File Error"}, {"420", "No Address"},
    {"444", "Abort"},        {"445", "Bad Offset"},     {"813", "Timeout"},    {"103", "Domain Missing"},
    {"401", "Bad Login"},    {"403", "Blank Filename"}, {"404", "Empty File"}, {"441", "File Error"},
    {"442", "File Missing"}, {"443", "User Deleted"},   {"446", "Request Too Long"},
    {"447", "Peer Key Changed"}, {"448", "Peer Not Encrypted"},
};

bool SameCode(std::string_view tableCode, const QByteArray &code)
{
    return std::string_view(code.constData(), static_cast<size_t>(code.size())) == tableCode;
}

QByteArray Expand(std::string_view pattern, const QByteArray &user, const QByteArray &file,
                  const QByteArray &path)
{
    QByteArray line;
    size_t i = 0;
    while (i < pattern.size()) {
        if (pattern[i] == '{') {
            const size_t close = pattern.find('}', i);
            const std::string_view token = pattern.substr(i + 1, close - i - 1);
            line += token == "user" ? user : token == "file" ? file : path;
            i = close + 1;
        } else {
            line += pattern[i++];
        }
    }
    return line;
}

}  // namespace

QByteArray ShortStatusText(const QByteArray &code)
{
    for (const ShortTextRow &row : ShortTexts)
        if (SameCode(row.code, code))
            return QByteArray(row.text.data(), static_cast<qsizetype>(row.text.size()));
    return code;
}

Outcome ClassifyOutcome(const QByteArray &code, const QByteArray &user, const QByteArray &file,
                        const QByteArray &path)
{
    Outcome outcome;
    outcome.shortText = ShortStatusText(code);
    for (const OutcomeRow &row : OutcomeTable) {
        if (SameCode(row.code, code)) {
            outcome.outcomeClass = row.outcomeClass;
            outcome.logLine = Expand(row.logPattern, user, file, path);
            // The receiver refuses an unsafe name (control characters, a path) with the same code
            // as a blank one; a name that was not blank is told as what it was.
            if (code == "403" && !IsBlank(file)) {
                outcome.logLine = "Unsafe File Name Sent to - " + user;
                outcome.shortText = "Unsafe Filename";
            }
            return outcome;
        }
    }
    outcome.outcomeClass = OutcomeClass::Failed;
    outcome.logLine = "Send Error " + code;
    return outcome;
}

QByteArray SendCloseOutcome(SendState state, int64_t bytesLeft)
{
    if (state == SendState::AllSent && bytesLeft < 1)
        return OutcomeCode::Sent;
    if (state == SendState::Connecting)
        return OutcomeCode::NoWelcome;
    return OutcomeCode::Closed;
}

ResumePlan PlanResume(int64_t offset, int64_t fileSize)
{
    if (offset < 0 || offset > fileSize)
        return {OutcomeCode::BadOffset, 0};
    const int64_t left = fileSize - offset;
    return {left >= 1 ? QByteArray() : QByteArray(OutcomeCode::NothingLeft), left};
}

ReceiveOutcome ClassifyReceiveEnding(const ReceiveEnding &e)
{
    const QByteArray &r = e.code;
    const auto is = [&r](int number) { return r == QByteArray::number(number); };
    ReceiveOutcome out;
    QByteArray &line = out.logLine;
    if (r == OutcomeCode::Closed && e.state == ReceiveState::Receiving) {
        if (e.writeFailed) {
            line = "Cannot Create File " + e.fileName;
        } else if (e.bytesReceived == e.announcedSize) {
            line = e.login + " successfully sent " + e.fileName;
            out.fileDelivered = true;
        } else if (e.bytesReceived > e.announcedSize) {
            line = e.login + " sent " + ToDecimal(e.bytesReceived - e.announcedSize) + " too many bytes of " + e.fileName;
            out.fileDelivered = true;
        } else {
            line = e.login + " partially sent " + ToDecimal(e.bytesReceived) + " bytes of " +
                   ToDecimal(e.announcedSize) + " bytes of " + e.fileName;
        }
    } else if (r == OutcomeCode::Closed && e.state == ReceiveState::Closing) {
        // The connection ended after a greeting or a refusal that was already dealt with.
    } else if (r == OutcomeCode::Busy || is(ErrRefused)) {
        line = "Connection refused to " + e.peerAddress;
    } else if (r == OutcomeCode::Closed || is(ErrReset)) {
        line = "Connection Prematurely dropped to " + e.peerAddress;
    } else if (is(ErrHostNotFound) || is(ErrTryAgain)) {
        line = "Domain Not Found";
    } else if (is(ErrShutdown) || is(ErrTimedOut)) {
        line = "Connection prematurely dropped to " + e.peerAddress;
    } else if (r == "401") {
        line = "Badly formed request from " + e.peerAddress;
    } else if (r == "402") {
        line = "Incorrect Login from " + e.peerAddress;
    } else if (r == "403") {
        line = (e.unsafeName ? "Unsafe File Name from " : "Blank File Name from ") + e.peerAddress;
    } else if (r == "404") {
        line = "Zero Byte File from " + e.peerAddress;
    } else if (r == "405") {
        line = "Cannot Create File " + e.fileName;
    } else if (r == "406") {
        line = "Attempt to send pre-existing file " + e.fileName + " by " + e.login;
    } else if (r == OutcomeCode::TimedOut) {
        line = e.state == ReceiveState::Greeted ? "Timeout waiting for request from " + e.peerAddress
                                                : "Timeout receiving " + e.fileName;
    } else {
        line = "Incoming Socket Error Code - Slot  " + QByteArray::number(e.slot) + " " + r;
    }
    return out;
}
