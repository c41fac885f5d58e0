// The words a person reads for a queue row's outcome, beside its stored status.
#include "core/Clock.h"
#include "transfer/OutcomeWords.h"
#include "transfer/Outcomes.h"
#include "transfer/Queue.h"

#include <gtest/gtest.h>

namespace {

TEST(OutcomeWords, StoredStatusesReadAsWords)
{
    const AttemptDetail tried{"192.0.2.7:4444", {}};
    const AttemptDetail closedPage{{}, "the peer's page says it is closed"};
    struct Case {
        const char *status;
        AttemptDetail detail;
        const char *words;
    };
    const Case cases[] = {
        {"Retry Wait 10061", tried, "connection refused by 192.0.2.7:4444"},
        {"Retry Wait Refused", {}, "connection refused"},
        {"Retry Wait 102", tried, "the connection was dropped before the whole file had gone by 192.0.2.7:4444"},
        {"Retry Wait Busy", tried, "the receiver is busy: every one of its channels is in use at 192.0.2.7:4444"},
        {"Retry Wait No Address", closedPage, "no address for the peer: the peer's page says it is closed"},
        // The receiver refuses a key it did not pin, or a transfer in the clear, as a wrong login.
        {"Retry Wait Bad Login", tried,
         "the receiver did not accept the login and password, this installation's key, or a transfer in the clear "
         "at 192.0.2.7:4444; a receiver that pinned another key of this installation takes the new one once "
         "Forget Key is pressed there"},
        // The address belongs to the refusal; what the person can do comes after it.
        {"Error: Peer Key Changed", tried,
         "the peer's key is not the one pinned for it at 192.0.2.7:4444; Forget Key in the users window "
         "accepts its new key, then Enable sends the file again"},
        {"Error: Bad Login", {}, "the receiver could not read the request"},
        {"Retry Wait File Error", tried, "the receiver cannot create the file at 192.0.2.7:4444"},
        {"Error: File Error", {}, "the file cannot be opened or read, or is empty"},
        {"Error: 11001", {}, "the peer's host name was not found"},
        {"Error: 10065", tried, "network error 10065 with 192.0.2.7:4444"},
        {"Error: Unsafe Filename", {}, "the receiver refused the file's name as unsafe"},
        {"Queued", {}, ""},
        {"Sent", tried, ""},
        {"Busy", {}, ""},
        {"Hold", {}, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(OutcomeWords(c.status, c.detail), QByteArray(c.words)) << c.status;
    // Without anything learnt, a missing address still says where to look.
    EXPECT_TRUE(OutcomeWords("Retry Wait No Address").contains("page could not be fetched"));
}

TEST(OutcomeWords, EveryShortTextOfTheOutcomeTableHasWordsOfItsOwn)
{
    // A short text added to the outcome table without words here would show as itself.
    const char *codes[] = {"100", "101", "10061", "102", "104", "10054", "10058", "400", "425", "402",
                           "405", "420", "444", "445", "813", "103", "11001", "11002", "401", "403",
                           "404", "441", "442", "443", "446", "447", "448"};
    for (const char *code : codes) {
        const QByteArray shortText = ShortStatusText(code);
        for (const char *prefix : {"Retry Wait ", "Error: "}) {
            const QByteArray words = OutcomeWords(prefix + shortText);
            EXPECT_FALSE(words.isEmpty()) << code;
            EXPECT_NE(words, shortText.toLower()) << code;
            EXPECT_FALSE(words.startsWith("network error")) << code;
        }
    }
}

TEST(OutcomeWords, PageProblemsSayWhyThereIsNoAddress)
{
    struct Case {
        LookupFailure failure;
        const char *socketStatus;
        const char *httpStatus;
        const char *words;
    };
    const Case cases[] = {
        {LookupFailure::PageClosed, "102", "200", "the peer's page says it is closed"},
        {LookupFailure::NoAddress, "102", "200", "the peer's page names no address or no usable port"},
        {LookupFailure::NotFetched, "102", "404", "the peer's page could not be fetched: the web server answered 404"},
        {LookupFailure::NotFetched, " 10061", "", "the peer's page could not be fetched: connection refused by the web server"},
        {LookupFailure::NotFetched, " 10061", "000", "the peer's page could not be fetched: connection refused by the web server"},
        {LookupFailure::NotFetched, "881", "", "the peer's page could not be fetched: the web server went silent"},
        {LookupFailure::NotFetched, "992", "200", "the peer's page could not be fetched: the answer was cut short"},
        {LookupFailure::NotFetched, " 11001", "", "the peer's page could not be fetched: the web server's name was not found"},
        {LookupFailure::NotFetched, "102", "", "the peer's page could not be fetched: no usable answer came"},
        {LookupFailure::None, "102", "200", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(PageProblemWords(c.failure, c.socketStatus, c.httpStatus), QByteArray(c.words)) << c.words;
    // The server's status comes from its status line, which may be as long as the whole answer:
    // the row's words show its start.
    const QByteArray longStatus(100000, '9');
    EXPECT_EQ(PageProblemWords(LookupFailure::NotFetched, "102", longStatus),
              "the peer's page could not be fetched: the web server answered " + longStatus.left(16) + "...");
}

TEST(OutcomeWords, ARowWaitingToRetrySaysWhenItIsTriedAgain)
{
    const QDateTime now(QDate(2026, 12, 10), QTime(9, 30, 0));
    QueueItem item;
    item.field(QueueItem::Status) = "W";
    item.field(QueueItem::StatusText) = "Retry Wait 10061";
    item.field(QueueItem::NextTry) = FormatDateSerial(ToDateSerial(now.addSecs(30 * 60)));
    const AttemptDetail tried{"192.0.2.7:4444", {}};
    EXPECT_EQ(RowStatusWords(item, tried, ToDateSerial(now)), "connection refused by 192.0.2.7:4444; next try at 10:00");

    item.field(QueueItem::NextTry) = FormatDateSerial(ToDateSerial(now.addDays(1)));
    EXPECT_EQ(RowStatusWords(item, {}, ToDateSerial(now)),
              "connection refused; next try on " + ShortDate(now.addDays(1)) + " at 09:30");

    item.field(QueueItem::NextTry) = FormatDateSerial(ToDateSerial(now.addSecs(-60)));
    EXPECT_EQ(RowStatusWords(item, {}, ToDateSerial(now)), "connection refused; next try as soon as a channel is free");

    // Only a waiting row has a next try.
    item.field(QueueItem::Status) = "E";
    item.field(QueueItem::StatusText) = "Error: File Missing";
    EXPECT_EQ(RowStatusWords(item, {}, ToDateSerial(now)), "the file is no longer where it was queued from");
}

} // namespace
