// File data that never passes through this process: a send slot hands its file to the socket
// with sendfile(), a receive slot moves what arrives from the socket into its file with splice().
// Both count exactly what the kernel moved, so the percent, the rate, the silence watchdog, the
// resume offset and the close at the announced size are the same as on the copying path, to
// which either falls back for the rest of its file when the kernel refuses (an unusual file
// system, an old kernel) or the connection encrypts.
#include "transfer/ReceiveChannel.h"
#include "transfer/SendChannel.h"

#include "core/Clock.h"
#include "transfer/Connection.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"
#include "transfer/ZeroCopy.h"

#include <QThread>

namespace {
// At most this much is taken from the kernel per turn of the event loop: a few milliseconds of
// copying into the page cache at most. Several files arriving at once cost the receiver less per
// byte the longer each one's run into its file (8 MiB against 4 MiB: about a tenth less CPU and
// a fifth more speed, measured with four files at once).
constexpr int64_t KernelReceiveTurnBytes = 8 * 1024 * 1024;
// At most this much is offered to the socket per turn: the sender's window and timers turn
// again within about a millisecond (8 MiB held them about 4 ms; 1 GiB ran no slower).
constexpr int64_t KernelSendTurnBytes = 2 * 1024 * 1024;
} // namespace

bool SendChannel::SendBatchFromFile()
{
    if (CopyOnly || host_->Stopping() || !FileOpen() || BytesLeft < 1 || !Conn->ZeroCopyAllowed() ||
        Conn->BytesToWrite() > 0)
        return false;
    const int64_t want = std::min(BytesLeft, KernelSendTurnBytes);
    const ZeroCopy::Moved m = Conn->SendFile(FileHandle->handle(), FileSize - BytesLeft, want);
    if (m.bytes > 0) {
        LastPieceAt = host_->SlotClock().now();
        CountSent(m.bytes);
    }
    if (m.bytes == 0 && !m.refused && !m.wouldBlock && m.error == 0) {
        // Nothing moved and nothing to wait for: the file ends before the size its request
        // announced (it shrank while it was sent). Waiting for room would only ask again.
        EndWithFileError();
        return true;
    }
    if (m.refused || m.error != 0) {
        // The rest goes through the copying path, from where the kernel stopped; a broken
        // connection reports its error there, through the socket.
        CopyOnly = true;
        if (!FileHandle->seek(FileSize - BytesLeft)) {
            EndWithFileError();
            return true;
        }
        return false;
    }
    if (m.bytes == want) {
        // Taken whole: as a batch taken whole by the socket, the next one follows the yield, or
        // everything is out.
        OnBytesWritten();
        return true;
    }
    // The socket is full: the next batch goes once it has room again (a BytesWritten).
    Conn->WaitWritable();
    return true;
}

void ReceiveChannel::StartKernelReceive()
{
    KernelPath = false;
    if (!FileOpen() || !Conn || !Conn->BeginFileReceive())
        return;
    // splice() cannot fill an appending file: the file is written at its own offsets instead.
    ZeroCopy::SetAppending(FileHandle->handle(), false);
    KernelPath = true;
}

bool ReceiveChannel::ReceiveFromKernel()
{
    if (State != ReceiveState::Receiving || !FileOpen()) {
        KernelPath = false;
        return false;
    }
    if (const int delay = host_->ReceiveWriteDelayUs(); delay > 0)
        QThread::usleep(static_cast<unsigned long>(delay));
    int64_t turn = KernelReceiveTurnBytes;
    for (;;) {
        // In a batch each file takes only its remainder; the bytes after it are the next file's.
        const int64_t want = BatchBoundary() >= 0 ? std::min(turn, BatchBoundary()) : turn;
        const ZeroCopy::Moved m = Conn->ReceiveFile(FileHandle->handle(), BytesReceived, want);
        if (m.bytes > 0) {
            BytesReceived += m.bytes;
            ConnectionBytes += m.bytes;
            LastWriteTime = LastActivity;
            turn -= m.bytes;
        }
        if (m.fileFailed) {
            // Only what reached the file counts; the next attempt resumes from there.
            WriteFailed = true;
            Result = Protocol::CannotCreateCode;
            Finish();
            return true;
        }
        if (BytesReceived >= AnnouncedSize) {
            if (BatchBoundary() < 0) {
                Result = OutcomeCode::Closed;
                Percent = 100;
                Finish();
                return true;
            }
            if (!NextBatchFile() || !KernelPath)
                return true;
            if (turn > 0 && !m.wouldBlock && !m.atEnd)
                continue;
            return true;
        }
        if (m.refused) {
            // The rest is read through the socket's buffer and appended, beginning with what waits.
            KernelPath = false;
            Conn->EndFileReceive();
            ZeroCopy::SetAppending(FileHandle->handle(), true);
            return false;
        }
        break;
    }
    UpdatePercent();
    return true;
}
