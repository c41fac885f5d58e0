// The headless run's copy of the log on standard output, written without ever holding up the
// engine: a reader that is slow, or gone, or never reads, costs lines on standard output, never
// the event loop. The log file itself is written as always.
#pragma once

#include <QByteArray>
#include <cstddef>
#include <memory>

class StdoutRelay {
public:
    // At most `capacity` bytes wait for the reader; lines beyond that are dropped and counted,
    // and one note "N lines dropped" goes out before the next line that fits.
    explicit StdoutRelay(int fd = 1, std::size_t capacity = 1 << 20);
    // Gives the reader a moment to take what waits; a writer still stuck then is left behind.
    ~StdoutRelay();
    StdoutRelay(const StdoutRelay &) = delete;
    StdoutRelay &operator=(const StdoutRelay &) = delete;

    // Queues one line (a line end is added when missing); never blocks on the reader.
    void Write(QByteArray line);
    // Lines dropped so far.
    long long Dropped() const;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};
