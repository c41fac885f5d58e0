// Kernel-side copies between files and sockets: exact counts, odd sizes and offsets, and the
// fallback when a descriptor refuses.
#include "transfer/ZeroCopy.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QTemporaryDir>
#include <random>

namespace {

QByteArray Pattern(int64_t n)
{
    std::mt19937 rng(static_cast<unsigned>(n));
    QByteArray b(n, '\0');
    for (auto &c : b)
        c = static_cast<char>(rng());
    return b;
}

int WriteFile(const QString &path, const QByteArray &data, int extraFlags = 0)
{
    const int fd = open(path.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_TRUNC | extraFlags, 0600);
    EXPECT_EQ(write(fd, data.constData(), data.size()), data.size());
    return fd;
}

QByteArray ReadAll(int fd)
{
    QByteArray out(lseek(fd, 0, SEEK_END), '\0');
    EXPECT_EQ(pread(fd, out.data(), out.size(), 0), out.size());
    return out;
}

} // namespace

// The sender's file goes from an odd offset through the socket and the receiver's splice into a
// file that already holds the first part; both sides count exactly what moved.
TEST(ZeroCopy, FileThroughSocketIntoFileFromOddOffsets)
{
    QTemporaryDir dir;
    for (int64_t size : {int64_t(1), int64_t(65537), int64_t(3 * 1048576 + 7)}) {
        for (int64_t offset : {int64_t(0), size / 3 | 1}) {
            if (offset >= size)
                continue;
            const QByteArray data = Pattern(size);
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
            const int src = WriteFile(dir.filePath("src"), data);
            const int dst = WriteFile(dir.filePath("dst"), data.left(offset));
            ZeroCopy::SocketToFile taker;
            ASSERT_TRUE(taker.usable());
            int64_t sent = offset, taken = offset;
            bool closed = false;
            while (taken < size) {
                if (sent < size) {
                    ZeroCopy::Moved s = ZeroCopy::SendFromFile(src, sent, sv[0], size - sent);
                    ASSERT_FALSE(s.refused);
                    ASSERT_EQ(s.error, 0);
                    sent += s.bytes;
                } else if (!closed) {
                    shutdown(sv[0], SHUT_WR);
                    closed = true;
                }
                ZeroCopy::Moved t = taker.Take(sv[1], dst, taken, 4 << 20);
                ASSERT_FALSE(t.refused);
                ASSERT_EQ(t.error, 0);
                taken += t.bytes;
            }
            EXPECT_EQ(taken, size);
            EXPECT_EQ(ReadAll(dst), data) << size << " from " << offset;
            close(src);
            close(dst);
            close(sv[0]);
            close(sv[1]);
        }
    }
}

TEST(ZeroCopy, RefusalsAreReportedAndAnAppendingFileStillGetsEveryByte)
{
    QTemporaryDir dir;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    // sendfile() takes no pipe as its source: the caller must copy instead.
    EXPECT_TRUE(ZeroCopy::SendFromFile(p[0], 0, sv[0], 10).refused);

    // splice() into an appending file is refused; the bytes already taken are written plainly.
    const QByteArray data = Pattern(70001);
    ASSERT_EQ(write(sv[0], data.constData(), data.size()), data.size());
    const int dst = WriteFile(dir.filePath("app"), QByteArray(), O_APPEND);
    ZeroCopy::SocketToFile taker;
    ZeroCopy::Moved t = taker.Take(sv[1], dst, 0, data.size());
    EXPECT_EQ(t.bytes, data.size());
    EXPECT_EQ(t.error, 0);
    EXPECT_EQ(ReadAll(dst), data);
    for (int fd : {p[0], p[1], sv[0], sv[1], dst})
        close(fd);
}
