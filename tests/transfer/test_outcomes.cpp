// The send outcome table: class, log line and short text of every code.
#include "transfer/Outcomes.h"

#include <gtest/gtest.h>

namespace {

struct OutcomeCase {
    const char *code;
    char outcomeClass;
    const char *logLine;
    const char *shortText;
};

// user "ann", file "a.txt", path "/d/a.txt"
const OutcomeCase Cases[] = {
    {"260", 'A', "Successfully sent a.txt to ann", "260"},
    {"406", 'A', "Remote File Already Exists - a.txt sent to ann", "406"},
    {"440", 'A', "Remote File Already Exists - a.txt sent to ann", "440"},
    {"101", 'B', "Connection refused to ann sending a.txt", "Refused"},
    {"10061", 'B', "Connection refused to ann sending a.txt", "10061"},
    {"102", 'B', "Connection dropped by ann sending a.txt", "102"},
    {"104", 'B', "Connection prematurely dropped by ann sending a.txt", "Terminated"},
    {"10054", 'B', "Connection prematurely dropped by ann sending a.txt", "10054"},
    {"10058", 'B', "Connection prematurely dropped by ann sending a.txt", "10058"},
    {"400", 'B', "Parcelwise Busy at ann sending a.txt", "Busy"},
    {"425", 'B', "Parcelwise Busy at ann sending a.txt", "Busy"},
    {"402", 'B', "Bad Login to ann sending a.txt", "Bad Login"},
    {"405", 'B', "Remote Cannot Create File ann sending a.txt", "File Error"},
    {"420", 'B', "Cannot retrieve IP for ann", "No Address"},
    {"444", 'B', "Abort Comms - a.txt", "Abort"},
    {"445", 'B', "Bad Resume Offset from ann sending a.txt", "Bad Offset"},
    {"813", 'B', "Timeout Sending a.txt", "Timeout"},
    {"103", 'C', "Domain not found - ann", "Domain Missing"},
    {"11001", 'C', "Domain not found - ann", "11001"},
    {"11002", 'C', "Domain not found - ann", "11002"},
    {"401", 'C', "Badly formed File Request to ann sending a.txt", "Bad Login"},
    {"403", 'C', "Blank File Name Sent to - ann", "Blank Filename"},
    {"404", 'C', "Zero Byte File Sent to ann sending a.txt", "Empty File"},
    {"441", 'C', "Cannot Open File - /d/a.txt", "File Error"},
    {"442", 'C', "File not found - /d/a.txt", "File Missing"},
    {"443", 'C', "User not found - ann", "User Deleted"},
    // Not in the table: given up, logged and shown as the code itself; codes are whole texts.
    {"10060", 'C', "Send Error 10060", "10060"},
    {"100", 'C', "Send Error 100", "OT Missing"},
    {" 400", 'C', "Send Error  400", " 400"},
    {"4000", 'C', "Send Error 4000", "4000"},
    {"", 'C', "Send Error ", ""},
};

TEST(Outcomes, EveryCodeHasItsClassLogLineAndShortText)
{
    for (const OutcomeCase &c : Cases) {
        SCOPED_TRACE(c.code);
        const Outcome o = ClassifyOutcome(c.code, "ann", "a.txt", "/d/a.txt");
        EXPECT_EQ(o.outcomeClass, c.outcomeClass);
        EXPECT_EQ(o.logLine, QByteArray(c.logLine));
        EXPECT_EQ(o.shortText, QByteArray(c.shortText));
        EXPECT_EQ(ShortStatusText(c.code), QByteArray(c.shortText));
    }
}

TEST(Outcomes, NamesAreInsertedAsTheyAre)
{
    // Braces and tokens in a user or file name are not expanded again.
    const Outcome o = ClassifyOutcome("260", "{file}", "x {user}.bin", "");
    EXPECT_EQ(o.logLine, QByteArray("Successfully sent x {user}.bin to {file}"));
    const QByteArray withNul("a\0b", 3);
    EXPECT_EQ(ClassifyOutcome("442", "u", "f", withNul).logLine, QByteArray("File not found - ") + withNul);
}

}  // namespace
