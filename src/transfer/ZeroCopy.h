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
};

// Sends up to maxBytes of fileFd from offset to socketFd (non-blocking).
Moved SendFromFile(int fileFd, int64_t offset, int socketFd, int64_t maxBytes);

// Takes up to maxBytes from a non-blocking socket into fileFd at fileOffset through its own pipe.
// Whatever entered the pipe ends in the file before the call returns, through a plain write if
// the file refuses splice.
class SocketToFile {
public:
    SocketToFile();
    ~SocketToFile();
    SocketToFile(const SocketToFile &) = delete;
    SocketToFile &operator=(const SocketToFile &) = delete;
    bool usable() const { return pipe_[0] >= 0; }
    Moved Take(int socketFd, int fileFd, int64_t fileOffset, int64_t maxBytes);

private:
    int pipe_[2] = {-1, -1};
};

} // namespace ZeroCopy
