// Moving file data between a file and a socket inside the kernel: sendfile() from a file at an
// offset to a socket, and splice() from a socket through a pipe into a file at the file's own
// offset. Every count is what the calls returned. A refusal (an unusual file system, an old
// kernel, a file opened for appending) is reported so that the caller copies through user space.
#pragma once

#include <cstdint>

namespace ZeroCopy {

struct Moved {
    int64_t bytes = 0;       // what the kernel moved this call
    bool refused = false;    // the call is not possible for these descriptors: copy instead
    bool wouldBlock = false; // nothing more can move now
    bool atEnd = false;      // the socket's sending side has closed (splice only)
    int error = 0;           // any other failure's errno
    bool fileFailed = false; // the error was the file's (a full disk), not the socket's
};

// Sends up to maxBytes of fileFd from offset to socketFd (non-blocking).
Moved SendFromFile(int fileFd, int64_t offset, int socketFd, int64_t maxBytes);

// Takes up to maxBytes from a non-blocking socket into fileFd at fileOffset through its own pipe.
// Whatever entered the pipe ends in the file before the call returns, through a plain write if
// the file refuses splice; bytes the file does not take at all (a full disk) are counted only as
// far as they reached it, and the rest is dropped with the pipe.
class SocketToFile {
public:
    SocketToFile();
    ~SocketToFile();
    SocketToFile(const SocketToFile &) = delete;
    SocketToFile &operator=(const SocketToFile &) = delete;
    bool usable() const { return pipe_[0] >= 0; }
    Moved Take(int socketFd, int fileFd, int64_t fileOffset, int64_t maxBytes);

private:
    void OpenPipe();
    void ClosePipe();
    int pipe_[2] = {-1, -1};
};

// Whether writes to fileFd go to its end whatever the offset (O_APPEND). splice() refuses such a
// file, so a file about to be filled at its own offsets is switched off appending, and back on
// before plain writes that rely on it.
bool SetAppending(int fileFd, bool appending);

// What the kernel moved in this process since it started: by sendfile() and by splice() from
// sockets.
struct Tally {
    int64_t sent = 0;
    int64_t spliced = 0;
};
Tally Totals();

// For tests: once the process's tally of one kind has reached its limit, every further call of
// that kind is refused as an old kernel would refuse it (a call that would pass the limit moves
// only up to it). A negative limit lifts it.
void RefuseBeyond(int64_t sentLimit, int64_t splicedLimit);

} // namespace ZeroCopy
