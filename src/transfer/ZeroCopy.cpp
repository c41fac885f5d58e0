#include "transfer/ZeroCopy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace ZeroCopy {

namespace {
constexpr int64_t kPipeSize = 1 << 20;

std::atomic<int64_t> sentTotal{0}, splicedTotal{0};
std::atomic<int64_t> sentLimit{-1}, splicedLimit{-1};

bool IsRefusal(int e) { return e == EINVAL || e == ESPIPE || e == ENOSYS || e == EOPNOTSUPP || e == EBADF; }

// A system call made again for as long as a signal interrupts it.
template <class Call>
ssize_t Uninterrupted(Call call)
{
    ssize_t n;
    do
        n = call();
    while (n < 0 && errno == EINTR);
    return n;
}

// What a failed call between the socket and the file means: nothing more for now, a refusal
// (only before anything moved: what moved stays counted), or an error.
void NoteFailure(Moved &m, int e)
{
    if (e == EAGAIN || e == EWOULDBLOCK)
        m.wouldBlock = true;
    else if (IsRefusal(e) && m.bytes == 0)
        m.refused = true;
    else
        m.error = e;
}

// How much a call may move under the tests' limit; 0 for a call that is to be refused.
int64_t Allowed(const std::atomic<int64_t> &total, const std::atomic<int64_t> &limit, int64_t wanted)
{
    const int64_t l = limit.load();
    return l < 0 ? wanted : std::clamp<int64_t>(l - total.load(), 0, wanted);
}

// The tests' limit applied to a call that wants maxBytes: what it may move, with m refused when
// it may move nothing although it wanted something.
int64_t Limit(Moved &m, const std::atomic<int64_t> &total, const std::atomic<int64_t> &limit, int64_t maxBytes)
{
    const int64_t allowed = Allowed(total, limit, std::max<int64_t>(maxBytes, 0));
    m.refused = allowed == 0 && maxBytes > 0;
    return allowed;
}

// Writes count bytes waiting in the pipe to the file at offset, by splice or, once refused, by
// read + pwrite. Returns what reached the file; less than count only on a failure (errno set).
int64_t Drain(int pipeIn, int fileFd, int64_t offset, int64_t count, bool &refused)
{
    char buf[65536];
    int64_t done = 0;
    while (done < count) {
        if (!refused) {
            loff_t off = offset + done;
            const ssize_t n = Uninterrupted(
                [&] { return splice(pipeIn, nullptr, fileFd, &off, static_cast<size_t>(count - done), SPLICE_F_MOVE); });
            if (n > 0) {
                done += n;
                continue;
            }
            if (n < 0 && IsRefusal(errno)) {
                refused = true;
                continue;
            }
            if (n == 0)
                errno = EIO;
            return done;
        }
        const ssize_t r = Uninterrupted(
            [&] { return read(pipeIn, buf, static_cast<size_t>(std::min<int64_t>(count - done, sizeof buf))); });
        if (r <= 0) {
            if (r == 0)
                errno = EIO;
            return done;
        }
        for (ssize_t w = 0; w < r;) {
            const ssize_t n =
                Uninterrupted([&] { return pwrite(fileFd, buf + w, static_cast<size_t>(r - w), offset + done); });
            if (n <= 0) {
                if (n == 0)
                    errno = EIO;
                return done;
            }
            w += n;
            done += n;
        }
    }
    return done;
}
} // namespace

Moved SendFromFile(int fileFd, int64_t offset, int socketFd, int64_t maxBytes)
{
    Moved m;
    const int64_t allowed = Limit(m, sentTotal, sentLimit, maxBytes);
    if (m.refused)
        return m;
    off_t off = offset;
    const ssize_t n = Uninterrupted([&] { return sendfile(socketFd, fileFd, &off, static_cast<size_t>(allowed)); });
    if (n < 0) {
        NoteFailure(m, errno);
        return m;
    }
    m.bytes = n;
    sentTotal += n;
    return m;
}

SocketToFile::SocketToFile() { OpenPipe(); }

SocketToFile::~SocketToFile() { ClosePipe(); }

void SocketToFile::OpenPipe()
{
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe_[0] = pipe_[1] = -1;
        return;
    }
    fcntl(pipe_[1], F_SETPIPE_SZ, static_cast<int>(kPipeSize));
}

void SocketToFile::ClosePipe()
{
    for (int &fd : pipe_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

Moved SocketToFile::Take(int socketFd, int fileFd, int64_t fileOffset, int64_t maxBytes)
{
    Moved m;
    if (!usable()) {
        m.refused = true;
        return m;
    }
    const int64_t allowed = Limit(m, splicedTotal, splicedLimit, maxBytes);
    if (m.refused)
        return m;
    bool fileRefused = false;
    while (m.bytes < allowed) {
        const int64_t want = std::min(allowed - m.bytes, kPipeSize);
        const ssize_t in = Uninterrupted([&] {
            return splice(socketFd, nullptr, pipe_[1], nullptr, static_cast<size_t>(want),
                          SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        });
        if (in < 0) {
            NoteFailure(m, errno);
            break;
        }
        if (in == 0) {
            m.atEnd = true;
            break;
        }
        const int64_t written = Drain(pipe_[0], fileFd, fileOffset + m.bytes, in, fileRefused);
        m.bytes += written;
        splicedTotal += written;
        if (written < in) {
            m.error = errno ? errno : EIO;
            m.fileFailed = true;
            // What the file did not take must not reach the next file: a fresh pipe.
            ClosePipe();
            OpenPipe();
            break;
        }
    }
    return m;
}

bool SetAppending(int fileFd, bool appending)
{
    const int flags = fcntl(fileFd, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = appending ? (flags | O_APPEND) : (flags & ~O_APPEND);
    return wanted == flags || fcntl(fileFd, F_SETFL, wanted) == 0;
}

Tally Totals()
{
    return Tally{sentTotal.load(), splicedTotal.load()};
}

void RefuseBeyond(int64_t sent, int64_t spliced)
{
    sentLimit = sent;
    splicedLimit = spliced;
}

} // namespace ZeroCopy
