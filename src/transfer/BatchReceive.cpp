// Several files over one connection, at the receiving slot: a caller that read BATCH in the
// welcome may send "BATCH n" and n requests. Each request is checked as if it had come alone and
// answered in order; the accepted files' remainders then follow one after the other, each file
// ending as if it had come alone (its log line, its delivery), and the connection closes after
// the last. A cut leaves the finished files finished, the current one resumable, and the files
// still to come each with its own ending.
#include "transfer/ReceiveChannel.h"

#include "core/Clock.h"
#include "core/TextUtil.h"
#include "transfer/Connection.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"
#include "transfer/ZeroCopy.h"

using namespace Protocol;

bool ReceiveChannel::Holds(const QString &path) const
{
    if (FileOpen() && Path == path)
        return true;
    for (const BatchFile &f : BatchRest)
        if (f.path == path)
            return true;
    return false;
}

void ReceiveChannel::TakeBatch(const QList<QByteArray> &requests)
{
    if (host_->Stopping())
        return;
    const QDateTime start = host_->SlotClock().now();
    BatchRest.clear();
    QByteArray replies;
    for (const QByteArray &request : requests) {
        const QByteArray code = JudgeRequest(request, start);
        if (code.isEmpty()) {
            replies += AcceptReply(ExistingSize);
            BatchRest.push_back({Login, FileName, Path, AnnouncedSize, ExistingSize});
            // Opened to be sure it can be; it is opened again when its turn comes.
            CloseSlotFile(FileHandle);
            continue;
        }
        replies += RefusalReply(code);
        // Logged at once, as a single request's refusal would be once its reply is out.
        ReportEnding(code, ReceiveState::Closing);
    }
    Write(replies);
    if (BatchRest.empty()) {
        // Nothing to receive: the conversation ends once the replies are out, with nothing more
        // to log.
        Refusal = OutcomeCode::Closed;
        Raise(ReceiveEvent::Refuse);
        return;
    }
    if (!BeginBatchFile())
        return;
    // A sender waits for the replies; anything it sent before them is file data read as such.
    if (Buffer.isEmpty())
        StartKernelReceive();
    host_->SlotStatusChanged();
}

bool ReceiveChannel::BeginBatchFile()
{
    const BatchFile f = BatchRest.front();
    BatchRest.erase(BatchRest.begin());
    Login = f.login;
    FileName = f.fileName;
    Path = f.path;
    AnnouncedSize = f.announcedSize;
    ExistingSize = f.existingSize;
    UnsafeName = false;
    ConnectionBytes = 0;
    Percent = 0;
    LastActivity = StartTime = LastWriteTime = host_->SlotClock().now();
    if (State == ReceiveState::Greeted)
        Raise(ReceiveEvent::Request);
    auto file = std::make_unique<QFile>(Path);
    // The file must still be as it was when its offset was answered.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append) || file->size() != ExistingSize) {
        WriteFailed = true;
        Result = CannotCreateCode;
        Finish();
        return false;
    }
    BytesReceived = ExistingSize;
    FileHandle = std::move(file);
    if (KernelPath && !(Conn && Conn->ReceivingFile() && ZeroCopy::SetAppending(FileHandle->handle(), false))) {
        KernelPath = false;
        if (Conn)
            Conn->EndFileReceive();
    }
    return true;
}

bool ReceiveChannel::NextBatchFile()
{
    // The file with all its bytes ends as if it had come alone.
    if (FileHandle && !FileHandle->flush())
        WriteFailed = true;
    if (WriteFailed) {
        Result = CannotCreateCode;
        Finish();
        return false;
    }
    ReportEnding(OutcomeCode::Closed, ReceiveState::Receiving);
    CloseSlotFile(FileHandle);
    return BeginBatchFile();
}

void ReceiveChannel::EndBatchRest(const QByteArray &result)
{
    // Files of a batch that never began end as they would have alone on this ending.
    for (const BatchFile &f : BatchRest) {
        ReceiveEnding ending;
        ending.code = result;
        ending.state = ReceiveState::Receiving;
        ending.slot = index_;
        ending.peerAddress = PeerAddress;
        ending.login = f.login;
        ending.fileName = f.fileName;
        ending.bytesReceived = f.existingSize;
        ending.announcedSize = f.announcedSize;
        host_->ReceiveEnded(index_, ClassifyReceiveEnding(ending), f.login, f.fileName);
    }
    BatchRest.clear();
}
