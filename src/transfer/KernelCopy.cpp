// File data that never passes through this process: a send slot hands its file to the socket
// with sendfile(), a receive slot moves what arrives from the socket into its file with splice().
// Both count exactly what the kernel moved, so the percent, the rate, the silence watchdog, the
// resume offset and the close at the announced size are the same as on the copying path, to
// which either falls back for the rest of its file when the kernel refuses (an unusual file
// system, an old kernel) or the connection encrypts.
#include "transfer/Engine.h"

#include "core/TextUtil.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"
#include "transfer/ZeroCopy.h"

#include <QThread>

namespace {
// At most this much is offered to the kernel, or taken from it, per turn of the event loop.
constexpr int64_t KernelTurnBytes = 4 * 1024 * 1024;
} // namespace

bool Engine::SendBatchFromFile(int channel)
{
    SendChannel &sc = tx_[channel];
    if (sc.CopyOnly || ShuttingDown || !sc.FileOpen || sc.BytesLeft < 1 || !sc.Conn->ZeroCopyAllowed() ||
        sc.Conn->BytesToWrite() > 0)
        return false;
    const int64_t want = std::min(sc.BytesLeft, KernelTurnBytes);
    const ZeroCopy::Moved m = sc.Conn->SendFile(sc.FileHandle->handle(), sc.FileSize - sc.BytesLeft, want);
    if (m.bytes > 0) {
        sc.LastPieceAt = clock_.now();
        CountSent(channel, m.bytes);
    }
    if (m.refused || m.error != 0) {
        // The rest goes through the copying path, from where the kernel stopped; a broken
        // connection reports its error there, through the socket.
        sc.CopyOnly = true;
        if (!sc.FileHandle->seek(sc.FileSize - sc.BytesLeft)) {
            sc.Result = OutcomeCode::FileError;
            HandleSendOutcome(channel);
            return true;
        }
        return false;
    }
    if (m.bytes == want) {
        // Taken whole: as a batch taken whole by the socket, the next one follows the yield, or
        // everything is out.
        OnSendBytesWritten(channel);
        return true;
    }
    // The socket is full: the next batch goes once it has room again (a BytesWritten).
    sc.Conn->WaitWritable();
    return true;
}

void Engine::StartKernelReceive(int i)
{
    ReceiveChannel &rc = rx_[i];
    rc.KernelPath = false;
    if (!rc.FileOpen || !rc.Conn || !rc.Conn->BeginFileReceive())
        return;
    // splice() cannot fill an appending file: the file is written at its own offsets instead.
    ZeroCopy::SetAppending(rc.FileHandle->handle(), false);
    rc.KernelPath = true;
}

bool Engine::ReceiveFromKernel(int i)
{
    ReceiveChannel &rc = rx_[i];
    if (rc.State != ReceiveState::Receiving || !rc.FileOpen) {
        rc.KernelPath = false;
        return false;
    }
    if (receiveWriteDelayUs_ > 0)
        QThread::usleep(static_cast<unsigned long>(receiveWriteDelayUs_));
    const ZeroCopy::Moved m = rc.Conn->ReceiveFile(rc.FileHandle->handle(), rc.BytesReceived, KernelTurnBytes);
    if (m.bytes > 0) {
        rc.BytesReceived += m.bytes;
        rc.ConnectionBytes += m.bytes;
        rc.LastWriteTime = rc.LastActivity;
    }
    if (m.fileFailed) {
        // Only what reached the file counts; the next attempt resumes from there.
        rc.WriteFailed = true;
        rc.Result = Protocol::CannotCreateCode;
        FinishReceive(i);
        return true;
    }
    if (rc.BytesReceived >= rc.AnnouncedSize) {
        rc.Result = OutcomeCode::Closed;
        rc.Percent = 100;
        FinishReceive(i);
        return true;
    }
    if (m.refused) {
        // The rest is read through the socket's buffer and appended, beginning with what waits.
        rc.KernelPath = false;
        rc.Conn->EndFileReceive();
        ZeroCopy::SetAppending(rc.FileHandle->handle(), true);
        return false;
    }
    const int before = rc.Percent;
    rc.Percent = rc.AnnouncedSize < 1 ? 0
                                      : static_cast<int>(RoundHalfEven(static_cast<double>(rc.BytesReceived) * 100.0 /
                                                                       static_cast<double>(rc.AnnouncedSize)));
    if (rc.Percent != before)
        AnnounceProgress('I', i);
    return true;
}
