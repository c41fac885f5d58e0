// The send outcome table and the short status texts of the queue rows.
#include "transfer/Outcomes.h"

#include <string_view>

namespace {

struct OutcomeRow {
    std::string_view code;
    char outcomeClass;
    // {user}, {file} and {path} are filled in one pass, so a name holding such a token stays as it is.
    std::string_view logPattern;
};

constexpr OutcomeRow OutcomeTable[] = {
    {"260", 'A', "Successfully sent {file} to {user}"},
    {"406", 'A', "Remote File Already Exists - {file} sent to {user}"},
    {"440", 'A', "Remote File Already Exists - {file} sent to {user}"},
    {"101", 'B', "Connection refused to {user} sending {file}"},
    {"10061", 'B', "Connection refused to {user} sending {file}"},
    {"102", 'B', "Connection dropped by {user} sending {file}"},
    {"104", 'B', "Connection prematurely dropped by {user} sending {file}"},
    {"10054", 'B', "Connection prematurely dropped by {user} sending {file}"},
    {"10058", 'B', "Connection prematurely dropped by {user} sending {file}"},
    {"400", 'B', "Parcelwise Busy at {user} sending {file}"},
    {"425", 'B', "Parcelwise Busy at {user} sending {file}"},
    {"402", 'B', "Bad Login to {user} sending {file}"},
    {"405", 'B', "Remote Cannot Create File {user} sending {file}"},
    {"420", 'B', "Cannot retrieve IP for {user}"},
    {"444", 'B', "Abort Comms - {file}"},
    {"445", 'B', "Bad Resume Offset from {user} sending {file}"},
    {"813", 'B', "Timeout Sending {file}"},
    {"103", 'C', "Domain not found - {user}"},
    {"11001", 'C', "Domain not found - {user}"},
    {"11002", 'C', "Domain not found - {user}"},
    {"401", 'C', "Badly formed File Request to {user} sending {file}"},
    {"403", 'C', "Blank File Name Sent to - {user}"},
    {"404", 'C', "Zero Byte File Sent to {user} sending {file}"},
    {"441", 'C', "Cannot Open File - {path}"},
    {"442", 'C', "File not found - {path}"},
    {"443", 'C', "User not found - {user}"},
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
    {"442", "File Missing"}, {"443", "User Deleted"},
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
            return outcome;
        }
    }
    outcome.outcomeClass = 'C';
    outcome.logLine = "Send Error " + code;
    return outcome;
}
