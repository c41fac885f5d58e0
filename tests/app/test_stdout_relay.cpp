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

    // The lines that fitted arrive whole and in order, then the note, then the next line.
    const QList<QByteArray> lines = received.split('\n');
    const qsizetype kept = 3000 - dropped;
    ASSERT_EQ(lines.size(), kept + 3) << received.right(300).constData();
    for (qsizetype i = 0; i < kept; ++i)
        ASSERT_EQ(lines[i], NumberedLine(static_cast<int>(i)));
    EXPECT_EQ(lines[kept], QByteArray::number(dropped) + " lines dropped");
    EXPECT_EQ(lines[kept + 1], "after");
    EXPECT_EQ(lines[kept + 2], "");
}
