// The peer conversation's texts: building and checking requests, replies and framing.
#include "core/Cipher.h"
#include "transfer/Protocol.h"

#include <gtest/gtest.h>

#include <QByteArrayList>
#include <set>

using namespace Protocol;

namespace {

const QByteArray Sep(1, '\x01');

// Each field followed by the separator, as a well-formed record is laid out.
QByteArray Fields(const QByteArrayList &fields)
{
    QByteArray record;
    for (const QByteArray &f : fields)
        record += f + Sep;
    return record;
}

// The record as it arrives: enciphered, then terminated.
QByteArray Wire(const QByteArray &record)
{
    return EncryptToHex(record) + "\r\r";
}

// The receiver knows one user, "alice" with password "Secret".
bool AliceOnly(const QByteArray &login, const QByteArray &password)
{
    return login == "alice" && password == "Secret";
}

const QByteArrayList Good = {"v1123", "alice", "Secret", "report.pdf", "5000", "TEXT", "dosa", "hello"};

QByteArrayList With(QByteArrayList fields, int index, const QByteArray &value)
{
    fields[index] = value;
    return fields;
}

QByteArrayList With(int index, const QByteArray &value)
{
    return With(Good, index, value);
}

// The first `count` fields with their separators, then field count+1 without one.
QByteArray CutAfter(const QByteArrayList &fields, int count)
{
    return Fields(fields.mid(0, count)) + fields[count];
}

} // namespace

TEST(ProtocolRequest, BuiltRequestIsAcceptedWithTheSameFields)
{
    const QByteArray wire = BuildRequest("123", "alice", "Secret", "  holiday photos.zip ", 9'999'999'999, "hi");
    EXPECT_TRUE(wire.endsWith("\r\r"));
    const QByteArray hex = wire.chopped(2);
    EXPECT_EQ(hex.size() % 16, 0);
    EXPECT_EQ(hex, hex.toUpper());

    QByteArray seenLogin, seenPassword;
    const RequestCheck check = CheckRequest(wire, [&](const QByteArray &l, const QByteArray &p) {
        seenLogin = l;
        seenPassword = p;
        return AliceOnly(l, p);
    });
    EXPECT_EQ(check.code, "");
    EXPECT_FALSE(check.unsafeName);
    EXPECT_EQ(seenLogin, "alice");
    EXPECT_EQ(seenPassword, "Secret");
    EXPECT_EQ(check.login, "alice");
    EXPECT_EQ(check.password, "Secret");
    EXPECT_EQ(check.fileName, "  holiday photos.zip "); // kept as sent, blanks and all
    EXPECT_EQ(check.announcedSize, 9'999'999'999);
    EXPECT_EQ(check.message, "hi");
    EXPECT_TRUE(check.hasMessage);
}

TEST(ProtocolRequest, RecordLayoutAndMessageFlattening)
{
    const QByteArray record = BuildRequestRecord("42", "bob", "pw", "f.txt", 1234, QByteArray("a\x01") + "b\rc");
    EXPECT_EQ(record, Fields({"v142", "bob", "pw", "f.txt", "1234", "TEXT", "dosa", "a b\rc"}));
    EXPECT_EQ(DecryptFromHex(BuildRequest("42", "bob", "pw", "f.txt", 1234, QByteArray("a\x01") + "b\rc").chopped(2)),
              record);
}

TEST(ProtocolRequest, SaltIsTwoToTenNonZeroDigits)
{
    std::set<qsizetype> lengths;
    std::set<char> digits;
    for (int i = 0; i < 3000; ++i) {
        const QByteArray salt = RandomDigits();
        ASSERT_GE(salt.size(), 2);
        ASSERT_LE(salt.size(), 10);
        lengths.insert(salt.size());
        for (char c : salt) {
            ASSERT_GE(c, '1') << salt.constData();
            ASSERT_LE(c, '9') << salt.constData();
            digits.insert(c);
        }
    }
    EXPECT_EQ(lengths.size(), 9u); // every length from 2 to 10 turns up
    EXPECT_EQ(digits.size(), 9u);
}

struct RequestCase {
    const char *what;
    QByteArray record; // plaintext, enciphered before checking
    QByteArray code;
    bool unsafe = false;
};

TEST(ProtocolRequest, RefusalsFromHandBuiltRecords)
{
    const QByteArray nul("x\0y", 3);
    const std::vector<RequestCase> cases = {
        {"seven separators", Fields(Good.mid(0, 7)) + "hello", "401"},
        {"salt only", "v1123", "401"},
        {"empty record", "", "401"},
        {"no separator after login", CutAfter(Good, 1), "401"},
        {"no separator after password", CutAfter(Good, 2), "401"},
        {"no separator after name", CutAfter(Good, 3), "401"},
        {"no separator after size", CutAfter(Good, 4), "401"},
        {"no separator after type", CutAfter(Good, 5), "401"},
        {"no separator after creator", CutAfter(Good, 6), "401"},
        {"wrong password", Fields(With(2, "secret")), "402"},
        {"unknown login", Fields(With(1, "mallory")), "402"},
        {"login with a blank", Fields(With(1, "alice ")), "402"},
        {"empty name", Fields(With(3, "")), "403"},
        {"blank name", Fields(With(3, "   ")), "403"},
        {"parent path", Fields(With(3, "../x")), "403", true},
        {"forward slash", Fields(With(3, "a/b")), "403", true},
        {"backslash", Fields(With(3, "a\\b")), "403", true},
        {"drive", Fields(With(3, "C:x")), "403", true},
        {"lower-case drive", Fields(With(3, "d:")), "403", true},
        {"dot", Fields(With(3, ".")), "403", true},
        {"dot dot", Fields(With(3, "..")), "403", true},
        {"NUL inside", Fields(With(3, nul)), "403", true},
        {"size zero", Fields(With(4, "0")), "404"},
        {"size letters", Fields(With(4, "abc")), "404"},
        {"size blanks", Fields(With(4, "   ")), "404"},
        {"size empty", Fields(With(4, "")), "404"},
        {"size negative", Fields(With(4, "-5")), "404"},
        {"size rounds to zero", Fields(With(4, "0.5")), "404"},
        // The first failing step decides.
        {"bad login before blank name", Fields(With(With(3, ""), 2, "nope")), "402"},
        {"bad login before missing name separator", CutAfter(With(2, "nope"), 3), "402"},
        {"missing separator before bad login", CutAfter(With(2, "nope"), 2), "401"},
        {"blank name before blank size", Fields(With(With(4, ""), 3, " ")), "403"},
        {"blank name before missing later separators", CutAfter(With(3, " "), 5), "403"},
        {"unsafe name before missing size separator", CutAfter(With(3, "a/b"), 4), "403", true},
        {"zero size before missing type separator", CutAfter(With(4, "0"), 5), "404"},
    };
    for (const RequestCase &c : cases) {
        const RequestCheck check = CheckRequest(Wire(c.record), AliceOnly);
        EXPECT_EQ(check.code, c.code) << c.what;
        EXPECT_EQ(check.unsafeName, c.unsafe) << c.what;
    }
}

TEST(ProtocolRequest, AcceptedSizesAndNames)
{
    struct Accepted {
        QByteArrayList fields;
        int64_t size;
        QByteArray name;
    };
    // Sizes beyond 32 bits are valid; halves go to the even neighbour. Only one letter and ':'
    // in front make a drive; blanks around a name are kept.
    const std::vector<Accepted> cases = {
        {With(4, "12abc"), 12, "report.pdf"},  {With(4, "9999999999"), 9'999'999'999, "report.pdf"},
        {With(4, "  7  "), 7, "report.pdf"},   {With(4, "2.5"), 2, "report.pdf"},
        {With(4, "3.5"), 4, "report.pdf"},     {With(4, "1e3"), 1000, "report.pdf"},
        {With(3, " a.txt "), 5000, " a.txt "}, {With(3, "1:x"), 5000, "1:x"},
        {With(3, "ab:c"), 5000, "ab:c"},       {With(3, "...x"), 5000, "...x"},
    };
    for (const Accepted &c : cases) {
        const RequestCheck check = CheckRequest(Wire(Fields(c.fields)), AliceOnly);
        EXPECT_EQ(check.code, "") << c.fields.join('|').constData();
        EXPECT_EQ(check.announcedSize, c.size) << c.fields.join('|').constData();
        EXPECT_EQ(check.fileName, c.name);
    }
    // Anything after the eighth separator is ignored.
    EXPECT_EQ(CheckRequest(Wire(Fields(Good) + "junk" + Sep + "more"), AliceOnly).code, "");
}

TEST(ProtocolRequest, LoginIsCheckedBeforeLaterFieldsAndNobodyWithoutUsers)
{
    int calls = 0;
    const RequestCheck check = CheckRequest(Wire(Fields(With(2, "nope").mid(0, 3))), [&](auto &l, auto &p) {
        ++calls;
        return AliceOnly(l, p);
    });
    EXPECT_EQ(check.code, "402");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(check.login, "alice"); // kept for the log line

    EXPECT_EQ(CheckRequest(Wire(Fields(Good)), LoginCheck()).code, "402");
    EXPECT_EQ(CheckRequest(Wire(Fields(Good)), [](auto &, auto &) { return false; }).code, "402");
}

TEST(ProtocolRequest, UndecipherableTextIsBadlyFormed)
{
    const QByteArray good = EncryptToHex(Fields(Good));
    const std::vector<std::pair<const char *, QByteArray>> cases = {
        {"non-hex of valid length", QByteArray(good.size(), 'Z') + "\r\r"},
        {"one bad digit", QByteArray(good).replace(5, 1, "g") + "\r\r"},
        {"odd length", good.chopped(1) + "\r\r"},
        {"one block short", good.left(good.size() - 8) + "\r\r"},
        {"terminator only", "\r\r"},
        {"plaintext record", Fields(Good) + "\r\r"},
    };
    for (const auto &[what, wire] : cases)
        EXPECT_EQ(CheckRequest(wire, AliceOnly).code, "401") << what;
}

TEST(ProtocolRequest, LineBreaksInsideTheHexAreIgnored)
{
    const QByteArray hex = EncryptToHex(Fields(Good));
    QByteArray wrapped;
    for (qsizetype i = 0; i < hex.size(); i += 20)
        wrapped += hex.mid(i, 20) + (i % 40 ? "\n" : "\r\n");
    wrapped.insert(3, '\r');
    const RequestCheck check = CheckRequest(wrapped + "\r\r", AliceOnly);
    EXPECT_EQ(check.code, "");
    EXPECT_EQ(check.fileName, "report.pdf");
}

TEST(ProtocolRequest, ReceivedMessageConversion)
{
    struct MessageCase {
        QByteArray sent;
        QByteArray received;
        bool kept;
    };
    const std::vector<MessageCase> cases = {
        {"line one\rline two", "line one\r\nline two", true},
        {QByteArray("tab\x01here"), "tab here", true}, // flattened by the sender
        {"", "", false},
        {"    ", "    ", false},
        {"\r", "\r\n", false},
        {"  \r ", "  \r\n ", false},
        {"\r\r", "\r\n\r\n", true}, // two line breaks are not "one line break"
        {" x ", " x ", true},
    };
    for (const MessageCase &c : cases) {
        const RequestCheck check = CheckRequest(BuildRequest("9", "alice", "Secret", "a", 1, c.sent), AliceOnly);
        ASSERT_EQ(check.code, "");
        EXPECT_EQ(check.message, c.received) << c.sent.toPercentEncoding().constData();
        EXPECT_EQ(check.hasMessage, c.kept) << c.sent.toPercentEncoding().constData();
    }
}

TEST(ProtocolSafeName, PlainNamesOnly)
{
    for (const char *ok : {"a", "report.pdf", " x ", "a..b", "...", "1:2", "ab:c"})
        EXPECT_TRUE(IsSafeFileName(ok)) << ok;
    for (const char *bad : {".", "..", "/", "a/", "\\x", "../etc", "C:", "z:file", "Z:\\x"})
        EXPECT_FALSE(IsSafeFileName(bad)) << bad;
    EXPECT_FALSE(IsSafeFileName(QByteArray("a\0", 2)));
    // Control characters, as the name reads: codes 0 to 31 and 127, U+0080 to U+009F as UTF-8,
    // and the bytes Windows-1252 leaves undefined; its punctuation is welcome.
    for (const char *bad : {"a\r\nb", "a\nb", "\x1B[31m", "bell\x07", "tab\t", "del\x7F", "nel\xC2\x85", "x\x81", "x\x9D"})
        EXPECT_FALSE(IsSafeFileName(bad)) << QByteArray(bad).toHex().constData();
    for (const char *ok : {"it\x92s", "\x93quoted\x94", "\x80 \x96 \x97", "caf\xC3\xA9", "caf\xE9", "\xE2\x80\x99"})
        EXPECT_TRUE(IsSafeFileName(ok)) << QByteArray(ok).toHex().constData();
}

TEST(ProtocolFraming, TerminatorOnlyAfterTheLastByte)
{
    for (const QByteArray &message :
         {BuildRequest("55", "alice", "Secret", "a b.txt", 123456, "two\rlines"), QByteArray(WelcomeGreeting),
          QByteArray(BusyGreeting), AcceptReply(3000), RefusalReply("406")}) {
        ASSERT_TRUE(HasTerminator(message));
        // Arriving byte by byte: complete only with the very last byte.
        QByteArray buffer;
        for (qsizetype i = 0; i < message.size(); ++i) {
            buffer += message[i];
            ASSERT_EQ(HasTerminator(buffer), i == message.size() - 1) << i;
        }
        // Arriving in two pieces split anywhere: the first piece is never complete.
        for (qsizetype cut = 0; cut < message.size(); ++cut)
            ASSERT_FALSE(HasTerminator(message.left(cut))) << cut;
    }
    EXPECT_TRUE(HasTerminator("abc\r\rdef")); // anywhere in the buffer
    EXPECT_FALSE(HasTerminator("\r\n\r\n"));
    EXPECT_FALSE(HasTerminator(""));
}

TEST(ProtocolFraming, RequestCapCoversTheWholeRequest)
{
    const auto request = [](qsizetype terminatorEnd, qsizetype total) {
        QByteArray bytes(total, 'A');
        bytes[terminatorEnd - 2] = '\r';
        bytes[terminatorEnd - 1] = '\r';
        return bytes;
    };
    const struct {
        QByteArray buffered;
        RequestFraming framing;
    } cases[] = {
        {request(MaxRequestSize, MaxRequestSize), RequestFraming::Complete},
        {request(100, MaxRequestSize + 5000), RequestFraming::Complete}, // what follows is the peer's own fault
        {request(MaxRequestSize + 1, MaxRequestSize + 1), RequestFraming::TooLong},
        {QByteArray(MaxRequestSize - 2, 'A') + '\r', RequestFraming::Incomplete}, // one CR more fits
        {QByteArray(MaxRequestSize - 1, 'A') + '\r', RequestFraming::TooLong},    // one CR more does not
        {QByteArray(MaxRequestSize, 'A'), RequestFraming::TooLong},
        {"", RequestFraming::Incomplete},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.buffered.size());
        EXPECT_EQ(FrameRequest(c.buffered), c.framing);
        // Split anywhere, a decided first part decides the whole the same way.
        for (const int64_t cut : {int64_t(1), int64_t(1460), MaxRequestSize - 1, MaxRequestSize}) {
            const RequestFraming first = FrameRequest(c.buffered.left(cut));
            if (first != RequestFraming::Incomplete) {
                EXPECT_EQ(first, c.framing) << cut;
            }
        }
    }
}

TEST(ProtocolRequest, LongestRequestSizeIsWhatTheSenderBuilds)
{
    for (const QByteArray &message : {QByteArray(), QByteArray("hi"), QByteArray(MaxMessageSize, 'm'), QByteArray(7, '\x01')})
        for (const QByteArray &name : {QByteArray("a"), QByteArray(255, 'n')}) {
            const int64_t size = LongestRequestSize("alice", "Secret", name, 9'999'999'999, message);
            EXPECT_EQ(size, BuildRequest("9999999999", "alice", "Secret", name, 9'999'999'999, message).size());
            EXPECT_GE(size, BuildRequest("11", "alice", "Secret", name, 9'999'999'999, message).size());
        }
    // The longest message the queue takes travels with a long name and login.
    EXPECT_LE(LongestRequestSize(QByteArray(100, 'l'), QByteArray(100, 'p'), QByteArray(255, 'n'),
                                 9'999'999'999, QByteArray(MaxMessageSize, 'm')),
              MaxRequestSize);
}

TEST(ProtocolFraming, RequestReassembledFromPiecesIsAccepted)
{
    const QByteArray wire = BuildRequest("55", "alice", "Secret", "x.bin", 77, "");
    for (qsizetype cut = 1; cut < wire.size(); cut += 7) {
        QByteArray buffer = wire.left(cut);
        ASSERT_FALSE(HasTerminator(buffer));
        buffer += wire.mid(cut);
        ASSERT_TRUE(HasTerminator(buffer));
        EXPECT_EQ(CheckRequest(buffer, AliceOnly).announcedSize, 77);
    }
}

TEST(ProtocolReply, GreetingsAndCodes)
{
    EXPECT_TRUE(IsWelcome(WelcomeGreeting));
    EXPECT_TRUE(IsWelcome("100 SOMETHING ELSE\r\r"));
    EXPECT_TRUE(IsWelcome("100"));
    EXPECT_FALSE(IsWelcome(BusyGreeting));
    EXPECT_FALSE(IsWelcome("10"));
    EXPECT_FALSE(IsWelcome(" 100 PARCELWISE WELCOME\r\r"));
    EXPECT_FALSE(IsWelcome(""));

    EXPECT_EQ(ReplyCode("406\r\r"), "406");
    EXPECT_EQ(ReplyCode("1013000\r\r"), "101");
    EXPECT_EQ(ReplyCode("4"), "4");
    EXPECT_EQ(AcceptReply(0), "1010\r\r");
    EXPECT_EQ(AcceptReply(5'000'000'000), "1015000000000\r\r");
    EXPECT_EQ(RefusalReply("406"), "406\r\r");
}

TEST(ProtocolReply, ResumeOffset)
{
    const std::vector<std::pair<QByteArray, int64_t>> cases = {
        {"1010\r\r", 0},
        {"1013000\r\r", 3000},
        {"101\r\r", 0},
        {"101", 0},
        {"101abc\r\r", 0},
        {"101 42 bytes\r\r", 42},
        {"101\r3000\r", 3000}, // CRs go before the code is skipped
        {"1015000000000\r\r", 5'000'000'000},
        {"1012.5\r\r", 2},
        {"101-5\r\r", -5}, // returned as read; the sender decides
        {"", 0},
    };
    for (const auto &[reply, offset] : cases)
        EXPECT_EQ(ResumeOffset(reply), offset) << reply.toPercentEncoding().constData();
    for (int64_t offset : {int64_t(0), int64_t(1), int64_t(2'147'483'648), int64_t(1) << 50})
        EXPECT_EQ(ResumeOffset(AcceptReply(offset)), offset);
}
