#include "transfer/ZeroCopy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ZeroCopy {

namespace {
constexpr int64_t kPipeSize = 1 << 20;

bool IsRefusal(int e) { return e == EINVAL || e == ESPIPE || e == ENOSYS || e == EOPNOTSUPP || e == EBADF; }

// Writes what sits in the pipe to the file at offset, by splice or, once refused, by read + pwrite.
bool Drain(int pipeIn, int fileFd, int64_t offset, int64_t count, bool &refused)
{
    char buf[65536];
    while (count > 0) {
        if (!refused) {
            loff_t off = offset;
            const ssize_t n = splice(pipeIn, nullptr, fileFd, &off, static_cast<size_t>(count), SPLICE_F_MOVE);
            if (n > 0) {
                offset += n;
                count -= n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && IsRefusal(errno)) {
                refused = true;
                continue;
            }
            return false;
        }
        const ssize_t r = read(pipeIn, buf, static_cast<size_t>(std::min<int64_t>(count, sizeof buf)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        for (ssize_t done = 0; done < r;) {
            const ssize_t w = pwrite(fileFd, buf + done, static_cast<size_t>(r - done), offset);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            done += w;
            offset += w;
        }
        count -= r;
    }
    return true;
}
} // namespace

Moved SendFromFile(int fileFd, int64_t offset, int socketFd, int64_t maxBytes)
{
    Moved m;
    off_t off = offset;
    for (;;) {
        const ssize_t n = sendfile(socketFd, fileFd, &off, static_cast<size_t>(std::max<int64_t>(maxBytes, 0)));
        if (n >= 0) {
            m.bytes = n;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            m.wouldBlock = true;
        } else if (IsRefusal(errno)) {
            m.refused = true;
        } else {
            m.error = errno;
        }
        return m;
    }
}

SocketToFile::SocketToFile()
{
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe_[0] = pipe_[1] = -1;
        return;
    }
    fcntl(pipe_[1], F_SETPIPE_SZ, static_cast<int>(kPipeSize));
}

SocketToFile::~SocketToFile()
{
    for (int fd : pipe_)
        if (fd >= 0)
            close(fd);
}

Moved SocketToFile::Take(int socketFd, int fileFd, int64_t fileOffset, int64_t maxBytes)
{
    Moved m;
    if (!usable()) {
        m.refused = true;
        return m;
    }
    bool fileRefused = false;
    while (m.bytes < maxBytes) {
        const int64_t want = std::min(maxBytes - m.bytes, kPipeSize);
        const ssize_t in = splice(socketFd, nullptr, pipe_[1], nullptr, static_cast<size_t>(want),
                                  SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (in < 0 && errno == EINTR)
            continue;
        if (in < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                m.wouldBlock = true;
            else if (IsRefusal(errno) && m.bytes == 0)
                m.refused = true;
            else
                m.error = errno;
            break;
        }
        if (in == 0) {
            m.atEnd = true;
            break;
        }
        if (!Drain(pipe_[0], fileFd, fileOffset + m.bytes, in, fileRefused)) {
            m.error = errno ? errno : EIO;
            break;
        }
        m.bytes += in;
    }
    return m;
}

} // namespace ZeroCopy
