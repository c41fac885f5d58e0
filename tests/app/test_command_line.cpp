// Command-line parsing: modes, their options and operands, and refusals with a reason.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace {
struct ParseCase {
    QList<QByteArray> args;
    CommandLine::Mode mode;
    QByteArray user;
    QList<QByteArray> files;
    QByteArray message;
    int priority;
};

struct RefusedCase {
    QList<QByteArray> args;
    QByteArray reason; // a part of the error text
};
} // namespace

TEST(CommandLine, ModesOptionsAndOperands)
{
    using M = CommandLine::Mode;
    const ParseCase cases[] = {
        {{}, M::Window, "", {}, "", 3},
        {{"/home/a/x.txt", "y z"}, M::Window, "", {"/home/a/x.txt", "y z"}, "", 3},
        {{"--headless"}, M::Headless, "", {}, "", 3},
        {{"--list"}, M::List, "", {}, "", 3},
        {{"--status"}, M::Status, "", {}, "", 3},
        {{"--clear-sent"}, M::ClearSent, "", {}, "", 3},
        {{"--folder", "/srv/pw", "--send", "bob", "a"}, M::Send, "bob", {"a"}, "", 3},
        {{"--list", "--folder=other"}, M::List, "", {}, "", 3},
        {{"--send", "bob", "a", "b"}, M::Send, "bob", {"a", "b"}, "", 3},
        // options before, between and after the operands, in both spellings
        {{"--priority", "1", "--send", "bob", "a", "--message", "hi there"}, M::Send, "bob", {"a"}, "hi there", 1},
        {{"--send", "bob", "--message=", "a", "--priority=2"}, M::Send, "bob", {"a"}, "", 2},
        // a message may start with a dash; after "--" everything is an operand
        {{"--send", "--message", "-x-", "bob", "--", "--list", "-"}, M::Send, "bob", {"--list", "-"}, "-x-", 3},
        {{"--send", "bob", "caf\xc3\xa9\x01.bin"}, M::Send, "bob", {"caf\xc3\xa9\x01.bin"}, "", 3},
        // help and version win over anything else before "--"
        {{"--send", "--bogus", "--help"}, M::Help, "", {}, "", 3},
        {{"--list", "-V"}, M::Version, "", {}, "", 3},
    };
    for (const ParseCase &c : cases) {
        const CommandLine line = ParseCommandLine(c.args);
        SCOPED_TRACE(c.args.join(' ').constData());
        EXPECT_TRUE(line.error.isEmpty()) << line.error.constData();
        EXPECT_EQ(line.mode, c.mode);
        EXPECT_EQ(line.user, c.user);
        EXPECT_EQ(line.files, c.files);
        EXPECT_EQ(line.message, c.message);
        EXPECT_EQ(line.priority, c.priority);
    }
    EXPECT_EQ(ParseCommandLine({"--folder", "/srv/pw", "--send", "bob", "a"}).folder, "/srv/pw");
    EXPECT_EQ(ParseCommandLine({"--list", "--folder=other"}).folder, "other");
    EXPECT_EQ(ParseCommandLine({"--list"}).folder, "");
}

TEST(CommandLine, RefusesWhatMakesNoSense)
{
    const RefusedCase cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--list", "--folder"}, "--folder needs a value"},
        {{"--folder", "a", "--folder", "b"}, "--folder is given twice"},
        {{"--send"}, "needs a user and at least one file"},
        {{"--send", "bob"}, "needs a user and at least one file"},
        {{"--send", "bob", "a", "--priority", "4"}, "1, 2 or 3"},
        {{"--send", "bob", "a", "--priority=0"}, "1, 2 or 3"},
        {{"--send", "bob", "a", "--priority", "2x"}, "1, 2 or 3"},
        {{"--send", "bob", "a", "--message"}, "--message needs a value"},
        {{"--send", "bob", "a", "--message", "x", "--message", "y"}, "twice"},
        {{"--list", "--send", "bob", "a"}, "cannot be used together"},
        {{"--headless", "a.txt"}, "takes no other arguments"},
        {{"--status", "now"}, "takes no other arguments"},
        {{"a.txt", "--message", "hi"}, "--message belongs to --send"},
        {{"--headless", "--priority", "1"}, "--priority belongs to --send"},
    };
    for (const RefusedCase &c : cases) {
        SCOPED_TRACE(c.args.join(' ').constData());
        const CommandLine line = ParseCommandLine(c.args);
        EXPECT_TRUE(line.error.contains(c.reason)) << line.error.constData();
    }
}
