// The send and receive outcome tables, the send close mapping and the resume-offset check.
#include "transfer/Outcomes.h"
#include "transfer/Queue.h"

#include <gtest/gtest.h>

namespace {

struct OutcomeCase {
    const char *code;
    OutcomeClass outcomeClass;
    const char *logLine;
    const char *shortText;
};

using enum OutcomeClass;

// user "ann", file "a.txt", path "/d/a.txt"
const OutcomeCase Cases[] = {
    {"260", Delivered, "Successfully sent a.txt to ann", "260"},
    {"406", Delivered, "Remote File Already Exists - a.txt sent to ann", "406"},
    {"440", Delivered, "Remote File Already Exists - a.txt sent to ann", "440"},
    {"101", RetryLater, "Connection refused to ann sending a.txt", "Refused"},
    {"10061", RetryLater, "Connection refused to ann sending a.txt", "10061"},
    {"102", RetryLater, "Connection dropped by ann sending a.txt", "102"},
    {"104", RetryLater, "Connection prematurely dropped by ann sending a.txt", "Terminated"},
    {"10054", RetryLater, "Connection prematurely dropped by ann sending a.txt", "10054"},
    {"10058", RetryLater, "Connection prematurely dropped by ann sending a.txt", "10058"},
    {"400", RetryLater, "Parcelwise Busy at ann sending a.txt", "Busy"},
    {"425", RetryLater, "Parcelwise Busy at ann sending a.txt", "Busy"},
    {"402", RetryLater, "Bad Login to ann sending a.txt", "Bad Login"},
    {"405", RetryLater, "Remote Cannot Create File ann sending a.txt", "File Error"},
    {"420", RetryLater, "Cannot retrieve IP for ann", "No Address"},
    {"444", RetryLater, "Abort Comms - a.txt", "Abort"},
    {"445", RetryLater, "Bad Resume Offset from ann sending a.txt", "Bad Offset"},
    {"813", RetryLater, "Timeout Sending a.txt", "Timeout"},
    {"103", Failed, "Domain not found - ann", "Domain Missing"},
    {"11001", Failed, "Domain not found - ann", "11001"},
    {"11002", Failed, "Domain not found - ann", "11002"},
    {"401", Failed, "Badly formed File Request to ann sending a.txt", "Bad Login"},
    {"404", Failed, "Zero Byte File Sent to ann sending a.txt", "Empty File"},
    {"441", Failed, "Cannot Open File - /d/a.txt", "File Error"},
    {"442", Failed, "File not found - /d/a.txt", "File Missing"},
    {"443", Failed, "User not found - ann", "User Deleted"},
    {"446", Failed, "File Request Too Long to ann sending a.txt", "Request Too Long"},
    {"447", Failed, "Peer Key Changed for ann", "Peer Key Changed"},
    {"448", Failed, "Peer Not Encrypted - ann", "Peer Not Encrypted"},
    // Not in the table: given up, logged and shown as the code itself; codes are whole texts.
    {"10060", Failed, "Send Error 10060", "10060"},
    {"100", Failed, "Send Error 100", "OT Missing"},
    {" 400", Failed, "Send Error  400", " 400"},
    {"4000", Failed, "Send Error 4000", "4000"},
    {"", Failed, "Send Error ", ""},
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

TEST(Outcomes, A403ForANameThatWasNotBlankSaysUnsafe)
{
    // The receiver refuses blank and unsafe names alike with 403; the name sent tells which.
    const Outcome blank = ClassifyOutcome("403", "ann", "  ", "/d/  ");
    EXPECT_EQ(blank.outcomeClass, Failed);
    EXPECT_EQ(blank.logLine, QByteArray("Blank File Name Sent to - ann"));
    EXPECT_EQ(blank.shortText, QByteArray("Blank Filename"));
    const Outcome unsafe = ClassifyOutcome("403", "ann", "a\x1b.txt", "/d/a\x1b.txt");
    EXPECT_EQ(unsafe.outcomeClass, Failed);
    EXPECT_EQ(unsafe.logLine, QByteArray("Unsafe File Name Sent to - ann"));
    EXPECT_EQ(unsafe.shortText, QByteArray("Unsafe Filename"));

    QueueModel model;
    QueueItem row = QueueModel::MakeNewItem("ann", "a\x1b.txt", "/d/a\x1b.txt", "", 46000.0);
    row.field(QueueItem::Channel) = "2";
    model.AddItem(row);
    model.SetOutcomeStatus(model.RowId(0), unsafe.outcomeClass, "403", 46000.0, unsafe.shortText);
    EXPECT_EQ(model.item(0).statusText(), "Error: Unsafe Filename");
}

TEST(Outcomes, NamesAreInsertedAsTheyAre)
{
    // Braces and tokens in a user or file name are not expanded again.
    const Outcome o = ClassifyOutcome("260", "{file}", "x {user}.bin", "");
    EXPECT_EQ(o.logLine, QByteArray("Successfully sent x {user}.bin to {file}"));
    const QByteArray withNul("a\0b", 3);
    EXPECT_EQ(ClassifyOutcome("442", "u", "f", withNul).logLine, QByteArray("File not found - ") + withNul);
}

TEST(Outcomes, SendCloseDependsOnHowFarTheSendGot)
{
    struct Case {
        SendState state;
        int64_t bytesLeft;
        const char *code;
    };
    const Case cases[] = {
        {SendState::AllSent, 0, "260"},     {SendState::AllSent, 5, "102"},   // closed with bytes still due
        {SendState::Connecting, 0, "425"},  {SendState::Requested, 0, "102"},
        {SendState::Sending, 1024, "102"},  {SendState::Sending, 0, "102"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(SendCloseOutcome(c.state, c.bytesLeft), QByteArray(c.code));
    }
}

TEST(Outcomes, ResumeOffsetOutsideTheFileIsRefused)
{
    struct Case {
        int64_t offset, size;
        const char *code;
        int64_t left;
    };
    const Case cases[] = {
        {0, 5000, "", 5000}, {3000, 5000, "", 2000}, {4999, 5000, "", 1},
        {5000, 5000, "440", 0}, {5001, 5000, "445", 0}, {-1, 5000, "445", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.offset);
        const ResumePlan plan = PlanResume(c.offset, c.size);
        EXPECT_EQ(plan.code, QByteArray(c.code));
        if (plan.code != "445") {
            EXPECT_EQ(plan.bytesLeft, c.left);
        }
    }
}

TEST(Outcomes, EveryReceiveEndingHasItsLogLine)
{
    struct Case {
        const char *label;
        const char *code;
        ReceiveState state;
        bool unsafeName, writeFailed;
        int64_t received;
        const char *line;
        bool delivered;
    };
    // peer "10.0.0.2", login "ann", file "a.txt", slot 2, 100 bytes announced
    const Case cases[] = {
        {"whole file", "102", ReceiveState::Receiving, false, false, 100, "ann successfully sent a.txt", true},
        {"too many bytes", "102", ReceiveState::Receiving, false, false, 130, "ann sent 30 too many bytes of a.txt", true},
        {"partial", "102", ReceiveState::Receiving, false, false, 40, "ann partially sent 40 bytes of 100 bytes of a.txt", false},
        {"write failed", "102", ReceiveState::Receiving, false, true, 100, "Cannot Create File a.txt", false},
        {"closed after a refusal", "102", ReceiveState::Closing, false, false, 0, "", false},
        {"closed after the greeting", "102", ReceiveState::Greeted, false, false, 0, "Connection Prematurely dropped to 10.0.0.2", false},
        {"busy", "400", ReceiveState::Closing, false, false, 0, "Connection refused to 10.0.0.2", false},
        {"refused", "10061", ReceiveState::Greeted, false, false, 0, "Connection refused to 10.0.0.2", false},
        {"reset", "10054", ReceiveState::Receiving, false, false, 0, "Connection Prematurely dropped to 10.0.0.2", false},
        {"host not found", "11001", ReceiveState::Greeted, false, false, 0, "Domain Not Found", false},
        {"try again", "11002", ReceiveState::Greeted, false, false, 0, "Domain Not Found", false},
        {"shut down", "10058", ReceiveState::Receiving, false, false, 0, "Connection prematurely dropped to 10.0.0.2", false},
        {"timed out", "10060", ReceiveState::Receiving, false, false, 0, "Connection prematurely dropped to 10.0.0.2", false},
        {"bad request", "401", ReceiveState::Closing, false, false, 0, "Badly formed request from 10.0.0.2", false},
        {"bad login", "402", ReceiveState::Closing, false, false, 0, "Incorrect Login from 10.0.0.2", false},
        {"blank name", "403", ReceiveState::Closing, false, false, 0, "Blank File Name from 10.0.0.2", false},
        {"unsafe name", "403", ReceiveState::Closing, true, false, 0, "Unsafe File Name from 10.0.0.2", false},
        {"zero bytes", "404", ReceiveState::Closing, false, false, 0, "Zero Byte File from 10.0.0.2", false},
        {"cannot create", "405", ReceiveState::Receiving, false, false, 0, "Cannot Create File a.txt", false},
        {"already there", "406", ReceiveState::Closing, false, false, 0, "Attempt to send pre-existing file a.txt by ann", false},
        {"no request", "813", ReceiveState::Greeted, false, false, 0, "Timeout waiting for request from 10.0.0.2", false},
        {"silent sender", "813", ReceiveState::Receiving, false, false, 0, "Timeout receiving a.txt", false},
        {"other error", "10013", ReceiveState::Receiving, false, false, 0, "Incoming Socket Error Code - Slot  2 10013", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ReceiveEnding e;
        e.code = c.code;
        e.state = c.state;
        e.slot = 2;
        e.peerAddress = "10.0.0.2";
        e.login = "ann";
        e.fileName = "a.txt";
        e.unsafeName = c.unsafeName;
        e.writeFailed = c.writeFailed;
        e.bytesReceived = c.received;
        e.announcedSize = 100;
        const ReceiveOutcome o = ClassifyReceiveEnding(e);
        EXPECT_EQ(o.logLine, QByteArray(c.line));
        EXPECT_EQ(o.fileDelivered, c.delivered);
    }
}

}  // namespace
