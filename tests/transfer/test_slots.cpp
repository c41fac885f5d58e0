// The receive and send slots driven through their events by hand, without any peer: each slot's
// table (state, letter, outcome) as its handlers walk it, and the events that do not apply.
#include "TestSupport.h"
#include "core/Clock.h"
#include "core/FileOps.h"
#include "transfer/BatchProtocol.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"
#include "transfer/ReceiveChannel.h"
#include "transfer/SendChannel.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <vector>

using namespace Protocol;

namespace {

// A stand-in for the engine that records what the slot asks of it.
struct Host : ReceiveHost, SendHost {
    FakeClock clock;
    ScratchDir dir;
    bool stopping = false;
    QByteArrayList lines;
    QList<ReceiveOutcome> endings;
    UserList users;
    quint64 nextTicket = 7;
    std::vector<DueRow> due; // the user's other due rows, offered to a batch
    QByteArrayList dialled;
    QByteArrayList sendResults;
    QList<QueueRowId> endedRows;
    int slotChanges = 0;

    const Clock &SlotClock() const override { return clock; }
    bool Stopping() const override { return stopping; }
    void LogLine(const QByteArray &line) override { lines << line; }
    void SlotStatusChanged() override {}
    void LocalEndSeen(const QHostAddress &) override {}
    bool LoginValid(const QByteArray &login, const QByteArray &password) const override
    {
        return login == "alice" && password == "pw1";
    }
    QString DownloadsFolder() const override { return dir.path(); }
    bool FileBeingReceived(int, const QString &) const override { return false; }
    void MessageArrived(const QDateTime &, const QByteArray &, const QByteArray &, const QByteArray &) override {}
    void ReceiveEnded(int, const ReceiveOutcome &outcome, const QByteArray &, const QByteArray &) override
    {
        endings << outcome;
    }
    void ReceiveSlotChanged(int) override { ++slotChanges; }
    void ListenNext() override {}
    void ReceiveProgress(int) override {}
    const UserList &AddressBook() const override { return users; }
    quint64 StartLookup(int, const QByteArray &, const QByteArray &) override { return nextTicket; }
    void Dial(Connection &, const QByteArray &host, int port) override
    {
        dialled << host + ":" + QByteArray::number(port);
    }
    void SendEnded(int, QueueRowId row, const Outcome &, const QByteArray &result, const QByteArray &,
                   const QByteArray &) override
    {
        sendResults << result;
        endedRows << row;
    }
    std::vector<DueRow> DueRowsOf(const QByteArray &, int) override { return due; }
    void SendSlotFreed(int, OutcomeClass) override {}
    void SendSlotChanged(int) override { ++slotChanges; }
    void SendProgress(int) override {}
};

QByteArray Request(const QByteArray &name, int64_t size, const QByteArray &password = "pw1")
{
    return BuildRequest("123", "alice", password, name, size, "");
}

// One step of a receive slot's conversation and where it leaves the slot.
struct ReceiveStep {
    const char *event;
    ReceiveState state;
    ReceiveLetter letter;
};

void Drive(ReceiveChannel &slot, Host &host, const char *event, const QByteArray &bytes)
{
    const QByteArray e(event);
    if (e == "accept")
        slot.Accept(nullptr);
    else if (e == "data")
        slot.OnData(bytes);
    else if (e == "written")
        slot.OnReplyWritten();
    else if (e == "closed")
        slot.OnClosed();
    else if (e == "error")
        slot.OnError(104);
    else if (e == "silence") {
        host.clock.advanceSeconds(181);
        slot.Tick(host.clock.now());
    }
}

// A send slot's connection is never connected here: what it would write goes nowhere, and Qt's
// warning about it is kept out of the output while this lives.
struct QuietUnopenedWrites {
    QuietUnopenedWrites()
    {
        previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (!text.contains(QLatin1String("device not open")))
                previous(type, context, text);
        });
    }
    ~QuietUnopenedWrites() { qInstallMessageHandler(previous); }
    static inline QtMessageHandler previous = nullptr;
};

} // namespace

TEST(Slots, ReceiveSlotWalksItsTable)
{
    const QByteArray file = PatternBytes(30000, 2);
    struct Path {
        const char *name;
        std::vector<std::pair<const char *, QByteArray>> events;
        std::vector<ReceiveStep> after;
        const char *logged; // part of the ending's log line
        bool delivered;
    };
    using RS = ReceiveState;
    using RL = ReceiveLetter;
    const std::vector<Path> paths = {
        {"a file arrives whole",
         {{"accept", {}}, {"data", Request("a.bin", file.size())}, {"data", file}},
         {{"accept", RS::Greeted, RL::Connected}, {"request", RS::Receiving, RL::Connected}, {"file", RS::Idle, RL::Idle}},
         "alice successfully sent a.bin", true},
        {"a refused login is written, then the conversation ends",
         {{"accept", {}}, {"data", Request("b.bin", 10, "bad")}, {"data", "more"}, {"written", {}}},
         {{"accept", RS::Greeted, RL::Connected}, {"request", RS::Closing, RL::Connected},
          {"ignored", RS::Closing, RL::Connected}, {"written", RS::Idle, RL::Idle}},
         "", false},
        {"the caller leaves mid-file",
         {{"accept", {}}, {"data", Request("c.bin", file.size())}, {"data", file.left(100)}, {"closed", {}}},
         {{"accept", RS::Greeted, RL::Connected}, {"request", RS::Receiving, RL::Connected},
          {"part", RS::Receiving, RL::Connected}, {"closed", RS::Idle, RL::Idle}},
         "c.bin", false},
        {"no request within the silence limit",
         {{"accept", {}}, {"written", {}}, {"silence", {}}},
         {{"accept", RS::Greeted, RL::Connected}, {"no refusal", RS::Greeted, RL::Connected},
          {"silence", RS::Idle, RL::Idle}},
         "", false},
        {"file data stop",
         {{"accept", {}}, {"data", Request("d.bin", file.size())}, {"silence", {}}, {"error", {}}},
         {{"accept", RS::Greeted, RL::Connected}, {"request", RS::Receiving, RL::Connected},
          {"silence", RS::Idle, RL::Idle}, {"late error", RS::Idle, RL::Idle}},
         "", false},
    };
    for (const Path &path : paths) {
        SCOPED_TRACE(path.name);
        Host host;
        ReceiveChannel slot;
        slot.Attach(0, host);
        slot.Configure(true);
        slot.Start();
        slot.Listen();
        EXPECT_EQ(slot.Letter, RL::Listening);
        ASSERT_EQ(path.events.size(), path.after.size());
        for (size_t k = 0; k < path.events.size(); ++k) {
            SCOPED_TRACE(path.after[k].event);
            Drive(slot, host, path.events[k].first, path.events[k].second);
            EXPECT_EQ(slot.State, path.after[k].state);
            EXPECT_EQ(slot.Letter, path.after[k].letter);
            EXPECT_EQ(slot.Timed(), slot.State == RS::Receiving);
            EXPECT_EQ(slot.FileOpen(), slot.State == RS::Receiving);
        }
        // Exactly one ending, whatever came after it.
        ASSERT_EQ(host.endings.size(), 1);
        EXPECT_TRUE(host.endings[0].logLine.contains(path.logged)) << host.endings[0].logLine.constData();
        EXPECT_EQ(host.endings[0].fileDelivered, path.delivered);
        EXPECT_EQ(slot.Result, OutcomeCode::None);
    }
}

TEST(Slots, ReceivedFileAndStoppedSlot)
{
    Host host;
    ReceiveChannel slot;
    slot.Attach(2, host);
    slot.Configure(true);
    slot.Start();
    slot.Accept(nullptr);
    const QByteArray file = PatternBytes(50000, 9);
    slot.OnData(Request("e.bin", file.size()));
    slot.OnData(file.left(25000)); // over the write threshold: written at once
    EXPECT_EQ(slot.BytesReceived, 25000);
    EXPECT_EQ(slot.Percent, 50);
    slot.Stop();
    EXPECT_EQ(slot.Letter, ReceiveLetter::Disabled);
    EXPECT_EQ(slot.State, ReceiveState::Idle);
    EXPECT_EQ(slot.Picture(), ChannelPicture::Stopped);
    EXPECT_FALSE(slot.FileOpen());
    EXPECT_TRUE(host.endings.isEmpty());
    EXPECT_EQ(ReadWholeFile(host.dir.file("e.bin")), file.left(25000));
}

// A batch that arrives a byte at a time is taken as if it had come whole; one whose second
// request runs past the request limit is refused, at most a few kilobytes after the limit.
TEST(Slots, ABatchArrivingByteByByteIsTakenAsAWhole)
{
    const QByteArray first = Request("a.bin", 10);
    const QByteArray whole = BatchProtocol::BuildBatch({first, Request("b.bin", 20)});
    const QByteArray tooLong = "BATCH 2\r\r" + first + QByteArray(2 * Protocol::MaxRequestSize, 'x');
    for (const bool fits : {true, false}) {
        SCOPED_TRACE(fits ? "fits" : "too long");
        Host host;
        ReceiveChannel slot;
        slot.Attach(0, host);
        slot.Configure(true);
        slot.Start();
        slot.Accept(nullptr);
        ASSERT_EQ(slot.State, ReceiveState::Greeted);
        const QByteArray &bytes = fits ? whole : tooLong;
        qsizetype fed = 0;
        while (fed < bytes.size() && slot.State == ReceiveState::Greeted)
            slot.OnData(bytes.mid(fed++, 1));
        if (fits) {
            EXPECT_EQ(fed, whole.size());
            EXPECT_EQ(slot.State, ReceiveState::Receiving);
            EXPECT_EQ(slot.FileName, "a.bin");
        } else {
            EXPECT_EQ(slot.Refusal, BadRequestCode);
            EXPECT_GE(fed, 9 + first.size() + Protocol::MaxRequestSize);
            EXPECT_LE(fed, 9 + first.size() + Protocol::MaxRequestSize + 4096);
        }
    }
}

TEST(Slots, SendSlotWalksItsTable)
{
    const QuietUnopenedWrites quiet;
    const QByteArray content = PatternBytes(3000, 4);
    struct Path {
        const char *name;
        const char *address; // "S" static or "D" dynamic
        std::vector<QByteArray> events;
        std::vector<SendState> after;
        const char *result;
    };
    using SS = SendState;
    const std::vector<Path> paths = {
        {"delivered", "S",
         {"WELCOME", "ACCEPT", "batch", "closed"},
         {SS::Requested, SS::Sending, SS::AllSent, SS::Finished}, OutcomeCode::Sent},
        {"busy receiver", "S", {"BUSY"}, {SS::Finished}, OutcomeCode::NoWelcome},
        {"refused request", "S", {"WELCOME", "REFUSE"}, {SS::Requested, SS::Finished}, BadLoginCode},
        {"closed before the greeting", "S", {"closed"}, {SS::Finished}, OutcomeCode::NoWelcome},
        {"closed mid-file", "S", {"WELCOME", "ACCEPT", "closed"}, {SS::Requested, SS::Sending, SS::Finished},
         OutcomeCode::Closed},
        {"silence while requested", "S", {"WELCOME", "silence", "error"}, {SS::Requested, SS::Finished, SS::Finished},
         OutcomeCode::TimedOut},
        {"a stale lookup, then the slot's own", "D", {"stale", "lookup", "WELCOME"},
         {SS::Taken, SS::Connecting, SS::Requested}, nullptr},
        {"a lookup without an address", "D", {"no address"}, {SS::Finished}, OutcomeCode::NoAddress},
    };
    for (const Path &path : paths) {
        SCOPED_TRACE(path.name);
        Host host;
        host.dir.write("f.bin", content);
        const QByteArray address = QByteArray(path.address) == "D" ? "http://127.0.0.1:1/p.html" : "127.0.0.1";
        host.users = {MakeUserRecord({"bob", "x", "alice", "pw1", path.address, address, "4444"})};
        SendChannel slot;
        slot.Attach(1, host);
        slot.Configure(true);
        slot.Reserve();
        slot.Begin(5, "bob", QFile::encodeName(host.dir.file("f.bin")), "");
        EXPECT_EQ(slot.QueueRow, 5u);
        EXPECT_EQ(slot.Letter, QByteArray(path.address) == "D" ? SendLetter::Waiting : SendLetter::Busy);
        EXPECT_EQ(slot.State, QByteArray(path.address) == "D" ? SS::Taken : SS::Connecting);
        for (size_t k = 0; k < path.events.size(); ++k) {
            const QByteArray &e = path.events[k];
            SCOPED_TRACE(e.constData());
            LookupResult found;
            found.Ticket = host.nextTicket;
            found.Endpoint = PageEndpoint{"127.0.0.2", 4445};
            if (e == "WELCOME")
                slot.OnData(WelcomeGreeting);
            else if (e == "BUSY")
                slot.OnData(BusyGreeting);
            else if (e == "ACCEPT")
                slot.OnData(AcceptReply(0));
            else if (e == "REFUSE")
                slot.OnData(RefusalReply(BadLoginCode));
            else if (e == "batch")
                ASSERT_TRUE(WaitFor([&] { return slot.State != SS::Sending; }));
            else if (e == "closed")
                slot.OnClosed();
            else if (e == "error")
                slot.OnError(104);
            else if (e == "silence") {
                host.clock.advanceSeconds(181);
                slot.Tick(host.clock.now());
            } else if (e == "stale") {
                found.Ticket = host.nextTicket - 1;
                slot.TakeLookupResult(found);
            } else if (e == "lookup") {
                slot.TakeLookupResult(found);
            } else if (e == "no address") {
                found.Endpoint.reset();
                found.Failure = LookupFailure::PageClosed;
                slot.TakeLookupResult(found);
            }
            EXPECT_EQ(slot.State, path.after[k]);
            EXPECT_EQ(slot.InUse(), slot.State != SS::Finished && slot.State != SS::Taken);
        }
        if (path.result) {
            ASSERT_EQ(host.sendResults.size(), 1);
            EXPECT_EQ(host.sendResults[0], QByteArray(path.result));
            EXPECT_EQ(host.endedRows, QList<QueueRowId>{5});
            EXPECT_EQ(slot.QueueRow, 0u);
            EXPECT_EQ(slot.Letter, SendLetter::Idle);
            EXPECT_EQ(slot.Picture(), ChannelPicture::Idle);
            EXPECT_FALSE(slot.FileOpen());
        } else {
            EXPECT_TRUE(host.sendResults.isEmpty());
            EXPECT_EQ(host.dialled, QByteArrayList{"127.0.0.2:4445"});
            EXPECT_EQ(slot.Picture(), ChannelPicture::Active);
        }
        slot.Abort(OutcomeCode::Aborted);
        EXPECT_EQ(slot.State, SS::Finished);
        EXPECT_LE(host.sendResults.size(), 1);
    }
}

TEST(Slots, WhatAReceiverSendsInPlaceOfItsRepliesIsBounded)
{
    // Endless bytes without a terminator, after a single request and after a batch of two.
    const QuietUnopenedWrites quiet;
    for (const bool batch : {false, true}) {
        SCOPED_TRACE(batch ? "batch" : "single");
        Host host;
        host.dir.write("f.bin", PatternBytes(3000, 4));
        host.dir.write("g.bin", PatternBytes(2000, 5));
        host.users = {MakeUserRecord({"bob", "x", "alice", "pw1", "S", "127.0.0.1", "4444"})};
        if (batch)
            host.due = {{6, QFile::encodeName(host.dir.file("g.bin")), ""}};
        SendChannel slot;
        slot.Attach(0, host);
        slot.Configure(true);
        slot.Reserve();
        slot.Begin(5, "bob", QFile::encodeName(host.dir.file("f.bin")), "");
        slot.OnData(BatchProtocol::WithOffer(WelcomeGreeting, BatchProtocol::OfferWord));
        ASSERT_EQ(slot.State, SendState::Requested);
        ASSERT_EQ(slot.BatchFiles.size(), batch ? 2u : 0u);
        const QByteArray flood(64 * 1024, 'x');
        for (int k = 0; k < 64; ++k) {
            slot.OnData(flood);
            ASSERT_LE(slot.Buffer.size(), MaxRequestSize) << k;
        }
        EXPECT_EQ(slot.State, SendState::Requested);
        EXPECT_TRUE(host.sendResults.isEmpty());
        slot.Abort(OutcomeCode::Aborted);
    }
}
