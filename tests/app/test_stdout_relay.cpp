// The headless run's copy of the log on standard output: a reader that never reads, reads late
// or has gone away costs lines there, never a blocked engine.
#include "TestSupport.h"
#include "app/StdoutRelay.h"

#include <gtest/gtest.h>
#include <atomic>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {
QByteArray NumberedLine(int i)
{
    QByteArray line = "line " + QByteArray::number(i).rightJustified(5, '0');
    return line.leftJustified(99, '.');
}
} // namespace

TEST(StdoutRelay, SlowReaderLosesLinesAndIsToldHowMany)
{
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    QByteArray received;
    std::mutex receivedMutex;
    std::thread reader;
    long long dropped = 0;
    {
        StdoutRelay relay(p[1], 64 * 1024);
        // Nobody reads yet: far more than the buffer and the pipe hold; every call returns.
        const int written = 3000;
        for (int i = 0; i < written; ++i)
            relay.Write(NumberedLine(i));
        dropped = relay.Dropped();
        ASSERT_GT(dropped, 0);
        ASSERT_LT(dropped, written);
        const qsizetype accepted = (written - dropped) * 100;

        reader = std::thread([&] {
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::read(p[0], buffer, sizeof buffer);
                if (n <= 0)
                    return;
                std::lock_guard lock(receivedMutex);
                received.append(buffer, n);
            }
        });
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard lock(receivedMutex);
            return received.size() >= accepted;
        }));
        relay.Write("after");
    }
    ::close(p[1]);
    reader.join();
    ::close(p[0]);

    // The lines that fitted arrive whole and in order; wherever lines were dropped a note says
    // how many, and the count adds up; the line written after the reader caught up comes last.
    const QList<QByteArray> lines = received.split('\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(lines[lines.size() - 2], "after");
    int expected = 0;
    long long announced = 0;
    for (qsizetype i = 0; i + 2 < lines.size(); ++i) {
        if (lines[i] == NumberedLine(expected)) {
            ++expected;
            continue;
        }
        ASSERT_TRUE(lines[i].endsWith(" lines dropped")) << i << ": " << lines[i].constData();
        const long long n = lines[i].split(' ').first().toLongLong();
        ASSERT_GT(n, 0);
        announced += n;
        expected += static_cast<int>(n);
    }
    EXPECT_EQ(expected, 3000);
    EXPECT_EQ(announced, dropped);
}
