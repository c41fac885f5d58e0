// Several requests over one connection: the offer in the welcome, the batch framing, the replies.
#include "transfer/BatchProtocol.h"
#include "transfer/Protocol.h"

#include <gtest/gtest.h>

using namespace BatchProtocol;

namespace {

QByteArray Req(int i) { return Protocol::BuildRequest("12", "ann", "pw", "f" + QByteArray::number(i), 1000 + i, "m"); }

QList<QByteArray> Reqs(int n)
{
    QList<QByteArray> out;
    for (int i = 0; i < n; ++i)
        out.append(Req(i));
    return out;
}

} // namespace

TEST(BatchProtocol, OfferWordIsFoundAmongTheWelcomeWordsInAnyOrder)
{
    struct Case { QByteArray welcome; bool offers; } cases[] = {
        {"100 PARCELWISE WELCOME\r\r", false},
        {"100 PARCELWISE WELCOME BATCH\r\r", true},
        {"100 PARCELWISE WELCOME STARTTLS BATCH\r\r", true},
        {"100 PARCELWISE WELCOME BATCH STARTTLS\r\r", true},
        {"100 PARCELWISE WELCOME BATCHES\r\r", false},
        {"400 PARCELWISE BUSY BATCH\r\r", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(OffersBatch(c.welcome), c.offers) << c.welcome.constData();
    const QByteArray both = WithOffer(WithOffer(Protocol::WelcomeGreeting, "STARTTLS"), OfferWord);
    EXPECT_EQ(both, "100 PARCELWISE WELCOME STARTTLS BATCH\r\r");
    EXPECT_EQ(WithOffer(both, OfferWord), both);
    EXPECT_EQ(both.left(3), "100"); // a peer that reads three characters sees a plain welcome
}

TEST(BatchProtocol, BuildRespectsTheCountAndSizeBounds)
{
    EXPECT_TRUE(BuildBatch({}).isEmpty());
    EXPECT_TRUE(BuildBatch(Reqs(MaxFiles + 1)).isEmpty());
    EXPECT_FALSE(BuildBatch(Reqs(MaxFiles)).isEmpty());
    QList<QByteArray> big(17, QByteArray(65000, 'A') + "\r\r");
    EXPECT_TRUE(BuildBatch(big).isEmpty()); // over 1 MiB
    EXPECT_TRUE(BuildBatch(Reqs(3)).startsWith("BATCH 3\r\r"));
}

TEST(BatchProtocol, FramingGivesTheSameRequestsWholeByteByByteAndWithTrailingBytes)
{
    for (int n : {1, 2, 7, MaxFiles}) {
        const QList<QByteArray> reqs = Reqs(n);
        const QByteArray wire = BuildBatch(reqs);
        // whole, with the first remainder bytes behind it
        Frame whole = FrameBatch(wire + "DATA");
        ASSERT_EQ(whole.framing, Framing::Complete) << n;
        EXPECT_EQ(whole.requests, reqs);
        EXPECT_EQ(whole.consumed, wire.size());
        if (n > 7)
            continue;
        // every prefix is undecided until the last byte
        for (qsizetype i = 0; i < wire.size(); ++i)
            ASSERT_EQ(FrameBatch(wire.left(i)).framing, Framing::Incomplete) << n << " at " << i;
    }
}

TEST(BatchProtocol, FramingRefusesWhatIsNoBatchOrABadOne)
{
    struct Case { QByteArray bytes; Framing framing; } cases[] = {
        {Req(1), Framing::NotBatch},           // an ordinary request
        {"BAX", Framing::NotBatch},
        {"BATCH 0\r\r", Framing::Bad},
        {"BATCH 257\r\r", Framing::Bad},
        {"BATCH x\r\r", Framing::Bad},
        {"BATCH \r\r", Framing::Bad},
        {"BATCH 12345", Framing::Bad},         // no count is that long
        {"BATCH 1\r\r" + QByteArray(Protocol::MaxRequestSize, 'A'), Framing::Bad},
        {"BATCH 2\r\rAB\r\rCD", Framing::Incomplete},
    };
    for (const Case &c : cases)
        EXPECT_EQ(FrameBatch(c.bytes).framing, c.framing) << c.bytes.left(40).constData();
}

TEST(BatchProtocol, RepliesSplitInOrderAndRemaindersAreSizeMinusOffset)
{
    const QByteArray replies = Protocol::AcceptReply(5) + Protocol::RefusalReply("402") + Protocol::AcceptReply(0);
    Replies part = SplitReplies(replies.left(replies.size() - 1), 3);
    EXPECT_EQ(part.replies.size(), 2);
    Replies all = SplitReplies(replies + "xyz", 3);
    ASSERT_EQ(all.replies.size(), 3);
    EXPECT_EQ(Protocol::ReplyCode(all.replies[1]), "402");
    EXPECT_EQ(Protocol::ResumeOffset(all.replies[0]), 5);
    EXPECT_EQ(all.consumed, replies.size());
    EXPECT_EQ(RemainderLength(1001, 5), 996);
    EXPECT_EQ(RemainderLength(1001, 1001), 0);
    EXPECT_EQ(RemainderLength(10, 20), 0);
}
