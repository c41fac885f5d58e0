// A writer thread takes lines from a bounded buffer and writes them with plain blocking writes,
// so only that thread waits on a pipe nobody reads.
#include "app/StdoutRelay.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>

struct StdoutRelay::Shared {
    std::mutex mutex;
    std::condition_variable wake;   // the writer: lines are waiting, or the relay closes
    std::condition_variable drained; // the closing relay: the writer has emptied the buffer
    QByteArray pending;
    std::size_t capacity = 0;
    long long dropped = 0;          // all lines dropped so far
    long long unannounced = 0;      // dropped lines the reader has not been told of
    bool writing = false;
    bool closing = false;
    bool broken = false;            // the reader is gone: nothing more is written
    int fd = 1;
};

namespace {
void WriterLoop(std::shared_ptr<StdoutRelay::Shared> s)
{
    std::unique_lock lock(s->mutex);
    for (;;) {
        s->wake.wait(lock, [&] { return !s->pending.isEmpty() || s->closing; });
        if (s->pending.isEmpty()) {
            s->drained.notify_all();
            return;
        }
        QByteArray chunk;
        chunk.swap(s->pending);
        s->writing = true;
        lock.unlock();
        const char *data = chunk.constData();
        qsizetype left = chunk.size();
        bool broken = false;
        while (left > 0) {
            const ssize_t n = ::write(s->fd, data, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                broken = true;
                break;
            }
            data += n;
            left -= n;
        }
        lock.lock();
        s->writing = false;
        if (broken) {
            s->broken = true;
            s->pending.clear();
        }
        if (s->pending.isEmpty())
            s->drained.notify_all();
    }
}
} // namespace

StdoutRelay::StdoutRelay(int fd, std::size_t capacity) : shared_(std::make_shared<Shared>())
{
    shared_->fd = fd;
    shared_->capacity = capacity;
    std::thread(WriterLoop, shared_).detach();
}

StdoutRelay::~StdoutRelay()
{
    std::unique_lock lock(shared_->mutex);
    shared_->closing = true;
    shared_->wake.notify_all();
    shared_->drained.wait_for(lock, std::chrono::seconds(1),
                              [&] { return shared_->broken || (shared_->pending.isEmpty() && !shared_->writing); });
}

void StdoutRelay::Write(QByteArray line)
{
    if (!line.endsWith('\n'))
        line += '\n';
    std::lock_guard lock(shared_->mutex);
    if (shared_->broken || shared_->closing)
        return;
    const std::size_t waiting = static_cast<std::size_t>(shared_->pending.size());
    QByteArray note;
    if (shared_->unannounced > 0)
        note = QByteArray::number(shared_->unannounced) + " lines dropped\n";
    if (waiting + static_cast<std::size_t>(note.size() + line.size()) > shared_->capacity) {
        ++shared_->dropped;
        ++shared_->unannounced;
        return;
    }
    shared_->pending += note;
    shared_->pending += line;
    shared_->unannounced = 0;
    shared_->wake.notify_one();
}

long long StdoutRelay::Dropped() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->dropped;
}
