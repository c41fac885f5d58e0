// Several files over one connection, at the sending slot: a receiver whose welcome offers BATCH
// gets the slot's file and the user's other due rows as one batch of requests. Every file takes
// its own reply; the accepted ones' remainders follow in order over the same connection, each
// logged as it begins. Each file ends as if it had come alone: a refusal as soon as its reply is
// read, the delivered ones when the receiver closes after the last byte, every other ending for
// all files not yet ended (a file handed over whole but not yet confirmed is retried, and its
// receiver then answers that it has it).
#include "transfer/SendChannel.h"

#include "core/Clock.h"
#include "core/FileOps.h"
#include "core/TextUtil.h"
#include "transfer/BatchProtocol.h"
#include "transfer/Connection.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"

using namespace Protocol;

bool SendChannel::OfferBatch()
{
    if (!BatchOffered || !Conn)
        return false;
    const std::vector<SendHost::DueRow> due = host_->DueRowsOf(UserName, BatchProtocol::MaxFiles - 1);
    if (due.empty())
        return false;
    BatchFiles.clear();
    BatchFiles.push_back({QueueRow, FilePath, FileName, Message, FileSize});
    QList<QByteArray> requests{BuildRequest(RandomDigits(), LoginName, Password, FileName, FileSize, Message)};
    int64_t total = 16 + requests.front().size();
    for (const SendHost::DueRow &row : due) {
        BatchFile f{row.id, row.filePath, FileNameOf(row.filePath), row.message, 0};
        const QString path = QString::fromLocal8Bit(f.filePath);
        QByteArray code;
        if (f.filePath.isEmpty() || !FileExists(path) || FolderExists(path))
            code = OutcomeCode::FileMissing;
        else if ((f.size = FileLength(path)) < 1)
            code = OutcomeCode::FileError;
        else if (LongestRequestSize(LoginName, Password, f.fileName, f.size, f.message) > MaxRequestSize)
            code = OutcomeCode::TooLong;
        const QByteArray request =
            code.isEmpty() ? BuildRequest(RandomDigits(), LoginName, Password, f.fileName, f.size, f.message) : QByteArray();
        // A batch is at most 1 MiB: rows beyond stay queued for the next connection.
        if (total + request.size() > BatchProtocol::MaxSize)
            break;
        host_->MarkRowBusy(index_, f.row);
        if (!code.isEmpty()) {
            // A row that could not go alone does not go in a batch either; it ends as alone.
            EndBatchFile(f, code, false);
            continue;
        }
        total += request.size();
        requests << request;
        BatchFiles.push_back(f);
    }
    if (requests.size() < 2) {
        BatchFiles.clear();
        return false;
    }
    Raise(SendEvent::Welcome);
    Conn->Write(BatchProtocol::BuildBatch(requests));
    return true;
}

void SendChannel::OnBatchReplies()
{
    const BatchProtocol::Replies r = BatchProtocol::SplitReplies(Buffer, static_cast<int>(BatchFiles.size()));
    if (r.replies.size() < static_cast<qsizetype>(BatchFiles.size()))
        return;
    Buffer.remove(0, r.consumed);
    bool anyAccepted = false;
    for (size_t k = 0; k < BatchFiles.size(); ++k) {
        BatchFile &f = BatchFiles[k];
        const QByteArray &reply = r.replies[static_cast<qsizetype>(k)];
        const QByteArray code = ReplyCode(reply);
        // Inside an encrypted session the first reply that accepts an exchange pins the key.
        PinAfterReply(code);
        if (code != AcceptCode) {
            EndBatchFile(f, code);
            continue;
        }
        const int64_t offset = ResumeOffset(reply);
        const ResumePlan plan = PlanResume(offset, f.size);
        if (!plan.code.isEmpty()) {
            // Nothing of this file is sent: the receiver holds it whole, or named an offset it
            // cannot hold.
            EndBatchFile(f, plan.code);
            continue;
        }
        f.offset = offset;
        anyAccepted = true;
    }
    if (!anyAccepted) {
        // Every file has its outcome; the attempt ends without another line.
        HandleOutcome();
        return;
    }
    BatchFileAt = 0;
    while (BatchFiles[BatchFileAt].ended)
        ++BatchFileAt;
    if (!BeginBatchFile())
        return;
    Raise(SendEvent::Accept);
    SendNextBatch();
}

bool SendChannel::BeginBatchFile()
{
    BatchFile &f = BatchFiles[BatchFileAt];
    CloseFile();
    FilePath = f.filePath;
    Message = f.message;
    // The file must still hold the size its request announced: the receiver counts on it. A
    // file that grew since goes as announced, its first bytes, as a file that grows while it is
    // sent alone does.
    if (!OpenFile() || FileSize < f.size || (f.offset != 0 && !FileHandle->seek(f.offset))) {
        // The receiver would read the next file's bytes as this one's: the connection ends, this
        // file with its error, the rest to be retried.
        EndWithFileError();
        return false;
    }
    FileSize = f.size;
    host_->LogLine("Sending file " + FilePath + " starting at " + ToDecimal(f.offset) + " bytes to " + UserName);
    BytesLeft = f.size - f.offset;
    BytesSent = 0;
    PercentDone = 0;
    CopyOnly = false;
    SendStarted = LastPieceAt = host_->SlotClock().now();
    host_->SendProgress(index_);
    return true;
}

bool SendChannel::NextBatchFile()
{
    for (size_t k = BatchFileAt + 1; k < BatchFiles.size(); ++k)
        if (!BatchFiles[k].ended && BatchFiles[k].offset >= 0) {
            BatchFileAt = k;
            return BeginBatchFile();
        }
    return false;
}

void SendChannel::EndBatchFile(BatchFile &f, const QByteArray &result, bool connectionTried)
{
    f.ended = true;
    const Outcome outcome = ClassifyOutcome(result, UserName, f.fileName, f.filePath);
    // A failure once a connection was tried names the address it was tried at.
    if (outcome.outcomeClass != OutcomeClass::Delivered && connectionTried && !Host.isEmpty())
        host_->LogLine(outcome.logLine + " (" + Host + ":" + QByteArray::number(Port) + ")");
    else
        host_->LogLine(outcome.logLine);
    host_->SendEnded(index_, f.row, outcome, result, UserName, f.fileName);
}
