// The local link: framing, where its socket lives, who may use it, and one request answered.
#include "app/InstanceLink.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
mode_t ModeOf(const QString &path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_mode & 07777;
}

// A socket file left behind by a process that ended without removing it.
void LeaveDeadSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    std::memcpy(addr.sun_path, p.constData(), static_cast<size_t>(p.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);
}
} // namespace

TEST(LinkFraming, RoundTripsAnyBytesAndRefusesBrokenMessages)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const LinkMessage message{"ADD", "", all, QByteArray(70000, 'x')};
    const QByteArray wire = EncodeLinkMessage(message);
    bool bad = true;
    // Every prefix is "not yet", the whole is the message.
    for (qsizetype n : {qsizetype(0), qsizetype(3), qsizetype(4), qsizetype(10), wire.size() - 1}) {
        EXPECT_FALSE(DecodeLinkMessage(wire.left(n), &bad).has_value());
        EXPECT_FALSE(bad);
    }
    const std::optional<LinkMessage> back = DecodeLinkMessage(wire, &bad);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, message);

    DecodeLinkMessage(wire + "x", &bad);
    EXPECT_TRUE(bad) << "one message per connection";
    DecodeLinkMessage(QByteArray("\x7f\xff\xff\xff", 4), &bad);
    EXPECT_TRUE(bad) << "a length over the limit is never waited for";
    // An item that claims more than the message holds.
    DecodeLinkMessage(QByteArray("\0\0\0\x05\0\0\0\x09x", 9), &bad);
    EXPECT_TRUE(bad);
}

TEST(LinkPlace, PrivateRuntimeFolderOrOwnFallback)
{
    ScratchDir scratch;
    const uid_t uid = ::getuid();
    const QString runtime = scratch.file(QStringLiteral("run"));
    QDir().mkpath(runtime);
    ::chmod(QFile::encodeName(runtime).constData(), 0700);
    EXPECT_EQ(LinkFolderFor(QFile::encodeName(runtime), uid), runtime);

    // A runtime folder others may enter, one too long for a socket's name, or none at all: the
    // fallback folder under the temporary folder, made private.
    const QString tmp = scratch.file(QStringLiteral("tmp"));
    QDir().mkpath(tmp);
    qputenv("TMPDIR", QFile::encodeName(tmp));
    const QString fallback = tmp + QStringLiteral("/parcelwise-") + QString::number(uid);
    ::chmod(QFile::encodeName(runtime).constData(), 0755);
    const QByteArray longName = "/" + QByteArray(90, 'r');
    for (const QByteArray &dir : {QFile::encodeName(runtime), longName, QByteArray()}) {
        EXPECT_EQ(LinkFolderFor(dir, uid), fallback) << dir.constData();
        EXPECT_EQ(ModeOf(fallback) & 0777, 0700u);
    }
    // A fallback folder that someone opened up is closed again; a link in its place (or another
    // user's folder, which anyone may make first under that predictable name) is not used: the
    // link then lives in the home folder, where no one else can make anything.
    ::chmod(QFile::encodeName(fallback).constData(), 0777);
    EXPECT_EQ(LinkFolderFor({}, uid), fallback);
    EXPECT_EQ(ModeOf(fallback) & 0777, 0700u);
    QDir(fallback).removeRecursively();
    ASSERT_TRUE(QFile::link(runtime, fallback));
    const QString home = scratch.file(QStringLiteral("h"));
    QDir().mkpath(home);
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home));
    const QString inHome = home + QStringLiteral("/.cache/parcelwise-link");
    EXPECT_EQ(LinkFolderFor({}, uid), inHome);
    EXPECT_EQ(ModeOf(inHome) & 0777, 0700u);
    qputenv("HOME", oldHome);
    qunsetenv("TMPDIR");
}

TEST(LinkPlace, NameFollowsTheCanonicalFolder)
{
    ScratchDir scratch;
    const QString a = scratch.file(QStringLiteral("a")), b = scratch.file(QStringLiteral("b"));
    QDir().mkpath(a);
    QDir().mkpath(b);
    ASSERT_TRUE(QFile::link(a, scratch.file(QStringLiteral("to-a"))));
    EXPECT_EQ(LinkNameFor(a), LinkNameFor(scratch.file(QStringLiteral("to-a"))));
    EXPECT_EQ(LinkNameFor(a), LinkNameFor(b + QStringLiteral("/../a/")));
    EXPECT_NE(LinkNameFor(a), LinkNameFor(b));
}

TEST(LinkPeers, OnlyTheOwnUserIsAllowed)
{
    EXPECT_TRUE(PeerAllowed(uid_t(1000), 1000));
    EXPECT_FALSE(PeerAllowed(uid_t(0), 1000));
    EXPECT_FALSE(PeerAllowed(uid_t(1000), 0));
    EXPECT_FALSE(PeerAllowed(std::nullopt, 1000));

    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(PeerUid(pair[0]), std::optional<uid_t>(::getuid()));
    ::close(pair[0]);
    ::close(pair[1]);
    EXPECT_FALSE(PeerUid(-1).has_value());
}

TEST(LinkServerTest, AnswersOneRequestReplacesADeadSocketAndKeepsItPrivate)
{
    ScratchDir scratch;
    const QString path = scratch.file(QStringLiteral("link"));
    LeaveDeadSocket(path);
    LinkMessage seen;
    LinkServer server([&](const LinkMessage &request) {
        seen = request;
        return LinkMessage{LinkVerb::Ok, "got " + QByteArray::number(request.size())};
    });
    ASSERT_TRUE(server.Listen(path)) << server.ErrorText().toStdString();
    EXPECT_EQ(ModeOf(path) & 0777, 0600u);

    // The asking side blocks and the server needs this thread's event loop, so another process
    // asks; the program's own asking side is tried by the tests that start the program.
    QProcess helper;
    helper.setProgram(QStringLiteral("/usr/bin/python3"));
    helper.setArguments({QStringLiteral("-c"), QStringLiteral(
        "import socket,struct,sys\n"
        "s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])\n"
        "items=[b'LIST', b'x\\x00y']\n"
        "body=b''.join(struct.pack('>I',len(i))+i for i in items)\n"
        "s.sendall(struct.pack('>I',len(body))+body)\n"
        "data=b''\n"
        "while True:\n"
        "    d=s.recv(4096)\n"
        "    if not d: break\n"
        "    data+=d\n"
        "sys.stdout.buffer.write(data)\n"), path});
    helper.start();
    ASSERT_TRUE(WaitFor([&] { return helper.state() == QProcess::NotRunning; }, 10000));
    const QByteArray wire = helper.readAllStandardOutput();
    bool bad = false;
    const std::optional<LinkMessage> reply = DecodeLinkMessage(wire, &bad);
    ASSERT_TRUE(reply.has_value()) << wire.toHex().constData();
    EXPECT_EQ(*reply, (LinkMessage{LinkVerb::Ok, "got 2"}));
    EXPECT_EQ(seen, (LinkMessage{"LIST", QByteArray("x\0y", 3)}));
}

TEST(LinkServerTest, TurnsAwayAnotherUser)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    ScratchDir scratch;
    // Open the way for the other user, so only the peer check stands between it and the server.
    ::chmod(QFile::encodeName(scratch.path()).constData(), 0755);
    const QString path = scratch.file(QStringLiteral("link"));
    int handled = 0;
    LinkServer server([&](const LinkMessage &) {
        ++handled;
        return LinkMessage{LinkVerb::Ok, "secret"};
    });
    std::optional<uid_t> rejected;
    QObject::connect(&server, &LinkServer::Rejected, [&](uid_t peer) { rejected = peer; });
    ASSERT_TRUE(server.Listen(path));
    ::chmod(QFile::encodeName(path).constData(), 0666);

    QProcess helper;
    helper.setProgram(QStringLiteral("/usr/bin/python3"));
    helper.setArguments({QStringLiteral("-c"), QStringLiteral(
        "import os,socket,struct,sys\n"
        "os.setgid(65534); os.setuid(65534)\n"
        "s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])\n"
        "body=struct.pack('>I',6)+b'STATUS'\n"
        "try:\n"
        "    s.sendall(struct.pack('>I',len(body))+body)\n"
        "    data=s.recv(4096)\n"
        "except OSError:\n"
        "    data=b''\n"
        "sys.stdout.buffer.write(b'reply:'+data)\n"), path});
    helper.start();
    ASSERT_TRUE(WaitFor([&] { return helper.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(helper.readAllStandardOutput(), "reply:") << helper.readAllStandardError().constData();
    EXPECT_EQ(rejected, std::optional<uid_t>(65534));
    EXPECT_EQ(handled, 0);
}

TEST(LinkServerTest, AReplyBeyondTheMessageCapComesInParts)
{
    ScratchDir scratch;
    const QString path = scratch.file(QStringLiteral("link"));
    // A queue listing larger than one message may be: 17 MiB of varied text.
    QByteArray listing;
    for (int i = 0; listing.size() < 17 * 1024 * 1024; ++i)
        listing += "row " + QByteArray::number(i) + " of a long queue\n";
    QThread thread;
    auto *server = new LinkServer([&](const LinkMessage &) { return LinkMessage{LinkVerb::Ok, listing}; });
    server->moveToThread(&thread);
    thread.start();
    bool listening = false;
    QMetaObject::invokeMethod(server, [&] { listening = server->Listen(path); }, Qt::BlockingQueuedConnection);
    ASSERT_TRUE(listening);

    const std::optional<LinkMessage> whole = AskInstance(path, {LinkVerb::List});
    ASSERT_TRUE(whole.has_value());
    ASSERT_EQ(whole->size(), 2);
    EXPECT_TRUE(whole->at(1) == listing);

    QList<QByteArray> parts;
    const std::optional<LinkMessage> streamed =
        AskInstance(path, {LinkVerb::List}, 10000, [&](const QByteArray &part) { parts << part; });
    ASSERT_TRUE(streamed.has_value());
    EXPECT_EQ(*streamed, LinkMessage{LinkVerb::Ok});
    EXPECT_EQ(parts.size(), (listing.size() + LinkPartSize - 1) / LinkPartSize);
    for (const QByteArray &part : parts)
        EXPECT_LE(part.size(), LinkPartSize);
    EXPECT_TRUE(parts.join() == listing);
    // A short reply stays one message.
    EXPECT_EQ(SplitLinkReply({LinkVerb::Ok, "short"}).size(), 1);

    QMetaObject::invokeMethod(server, [&] { delete server; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}
