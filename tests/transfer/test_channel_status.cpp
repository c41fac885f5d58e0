// Status, progress and rate texts of the "Channel Status" frame.
#include "transfer/ChannelStatus.h"

#include <gtest/gtest.h>

namespace {

const QDateTime T0(QDate(2026, 12, 10), QTime(9, 30, 0));

struct StatusCase {
    const char *name;
    char direction;
    int number;
    const char *letter;  // the letter as the display writes it
    bool fileOpen;       // a receive slot: its file is open (the request was accepted)
    int64_t bytes;
    int64_t seconds;  // from the start to the last write or piece; negative: clock went back
    bool changes;
    const char *statusLine;
    const char *progressLine;
    const char *rate;
};

const StatusCase Cases[] = {
    {"send idle", 'O', 1, "I", false, 0, 0, true, "Send channel  1 status: Idle", "", ""},
    {"send waiting", 'O', 2, "W", false, 0, 0, true, "Send channel  2 status: Waiting", "", ""},
    {"send disabled", 'O', 4, "D", false, 0, 0, true, "Send channel  4 status: Disabled", "", ""},
    {"send busy", 'O', 3, "B", false, 1500000, 100, true, "Send channel  3 status: Busy",
     "37% done sending f.bin to ann", "15.000k/sec"},
    {"send below one k", 'O', 1, "B", false, 400, 1, true, "Send channel  1 status: Busy",
     "37% done sending f.bin to ann", ".400k/sec"},
    {"send too slow", 'O', 1, "B", false, 4, 1, true, "Send channel  1 status: Busy",
     "37% done sending f.bin to ann", ""},
    {"send same second", 'O', 1, "B", false, 999999, 0, true, "Send channel  1 status: Busy",
     "37% done sending f.bin to ann", ""},
    {"send over 4 GiB", 'O', 1, "B", false, 5000000000LL, 1000, true, "Send channel  1 status: Busy",
     "37% done sending f.bin to ann", "5000.000k/sec"},
    {"receive idle", 'I', 1, "I", false, 0, 0, true, "Receive channel  1 status: Idle", "", ""},
    {"receive empty letter", 'I', 2, "", false, 0, 0, true, "Receive channel  2 status: Idle", "", ""},
    {"receive disabled", 'I', 3, "D", false, 0, 0, true, "Receive channel  3 status: Disabled", "", ""},
    {"receive listening", 'I', 4, "L", false, 0, 0, true, "Receive channel  4 status: Listening", "", ""},
    {"receive connecting", 'I', 1, "C", false, 5000, 10, true, "Receive channel  1 status: Connecting", "",
     ""},
    {"receive receiving", 'I', 2, "C", true, 1500000, 100, true, "Receive channel  2 status: Receiving",
     "37% done receiving f.bin from ann", "15.000k/sec"},
    {"receive clock went back", 'I', 2, "C", true, 2000, -2, true, "Receive channel  2 status: Receiving",
     "37% done receiving f.bin from ann", "1.000k/sec"},
    {"receive rate just above the floor", 'I', 1, "C", true, 6, 1, true,
     "Receive channel  1 status: Receiving", "37% done receiving f.bin from ann", ".006k/sec"},
    {"receive rate at the floor", 'I', 1, "C", true, 5, 1, true, "Receive channel  1 status: Receiving",
     "37% done receiving f.bin from ann", ""},
};

// The slot whose display letter is the case's: every letter of its direction, and a receive slot
// in the state that an open file means.
SlotSnapshot SlotOf(const StatusCase &c)
{
    SlotSnapshot s;
    s.direction = c.direction;
    s.number = c.number;
    bool found = false;
    if (c.direction == 'I') {
        for (ReceiveLetter l : {ReceiveLetter::Unstarted, ReceiveLetter::Idle, ReceiveLetter::Listening,
                                ReceiveLetter::Connected, ReceiveLetter::Disabled})
            if (LetterCode(l) == c.letter)
                s.receiveLetter = l, found = true;
        s.receiveState = c.fileOpen ? ReceiveState::Receiving : ReceiveState::Greeted;
    } else {
        for (SendLetter l : {SendLetter::Idle, SendLetter::Disabled, SendLetter::Waiting, SendLetter::Busy})
            if (LetterCode(l) == c.letter)
                s.sendLetter = l, found = true;
    }
    EXPECT_TRUE(found) << c.letter;
    return s;
}

TEST(ChannelStatus, TextsByDirectionAndLetter)
{
    for (const StatusCase &c : Cases) {
        SCOPED_TRACE(c.name);
        SlotSnapshot s = SlotOf(c);
        s.percent = 37;
        s.fileName = "f.bin";
        s.peer = "ann";
        s.bytes = c.bytes;
        s.startTime = T0;
        s.lastTime = T0.addSecs(c.seconds);
        const ChannelStatusText out = DescribeChannelStatus(s);
        EXPECT_EQ(out.changeStatus, c.changes);
        EXPECT_EQ(out.changeProgress, c.changes);
        EXPECT_EQ(out.statusLine, QByteArray(c.statusLine));
        EXPECT_EQ(out.progressLine, QByteArray(c.progressLine));
        EXPECT_EQ(out.rate, QByteArray(c.rate));
    }
}

}  // namespace
