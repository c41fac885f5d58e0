// The engine's send side: the lookup's results routed to their slot, and what the send slots ask
// of the engine (the lookup, the connection's start, the queue row an attempt ends with).
#include "transfer/Engine.h"

#include "core/FileOps.h"
#include "core/TextUtil.h"
#include "transfer/Outcomes.h"
#include "transfer/Protocol.h"
#include "dynaddr/HttpLookup.h"

void Engine::OnLookupFinished(int channel, const LookupResult &result)
{
    if (channel >= 0 && channel < ChannelCount)
        tx_[channel].TakeLookupResult(result);
}

quint64 Engine::StartLookup(int slot, const QByteArray &user, const QByteArray &pageUrl)
{
    return lookup_.StartLookup(slot, user, pageUrl);
}

void Engine::Dial(Connection &connection, const QByteArray &host, int port)
{
    emit Connecting(host);
    connection.ConnectTo(QString::fromLocal8Bit(TrimBlanks(host)), static_cast<quint16>(port));
}

void Engine::SendEnded(int slot, QueueRowId row, const Outcome &outcome, const QByteArray &result,
                       const QByteArray &user, const QByteArray &fileName)
{
    // Noted under the row's own user and path, as the row's words look it up: in a batch the
    // slot may be sending another file by now.
    const int index = queue_.RowOf(row);
    if (index >= 0)
        NoteAttempt(slot, row, queue_.field(index, QueueItem::UserName), queue_.field(index, QueueItem::FilePath),
                    result, outcome.outcomeClass == OutcomeClass::Delivered);
    // Frees this row from its channel; the other rows of a batch keep their mark until they end.
    queue_.SetOutcomeStatus(row, outcome.outcomeClass, result, clock_.nowSerial(), outcome.shortText);
    if (outcome.outcomeClass == OutcomeClass::Failed)
        emit SendFailed(user, fileName, "Error: " + outcome.shortText);
}

void Engine::NoteAttempt(int slot, QueueRowId row, const QByteArray &user, const QByteArray &filePath,
                         const QByteArray &result, bool delivered)
{
    const QByteArray key = user + '\x01' + filePath;
    if (delivered) {
        // Another row of the same file that failed keeps its words.
        const auto it = attempts_.find(key);
        if (it != attempts_.end()) {
            it->rows.remove(row);
            if (it->rows.isEmpty())
                attempts_.erase(it);
        }
        return;
    }
    const SendChannel &sc = tx_[slot];
    AttemptDetail detail;
    // The address a connection went to (the slot's, until it is reset after its last ending).
    if (!sc.Host.isEmpty() && sc.Port > 0 && result != OutcomeCode::NoAddress)
        detail.address = sc.Host + ":" + QByteArray::number(sc.Port);
    // Why the peer's page gave no address: the slot's lookup has just ended.
    if (result == OutcomeCode::NoAddress && sc.AddressType == AddressKind::Dynamic) {
        const HttpResponseReader &reader = lookup_.Client(slot).Reader();
        detail.pageProblem = PageProblemWords(lookup_.LastResult(slot).Failure, reader.SocketStatus(), reader.HttpStatus());
    } else if (result == OutcomeCode::NoAddress) {
        // A static address ends so only when the users window gives none, or no usable port.
        detail.pageProblem = "the users window gives no IP address or no usable port for this user";
    }
    FailedAttempt &noted = attempts_[key];
    noted.detail = detail;
    noted.rows.insert(row);
}

AttemptDetail Engine::LastAttempt(const QByteArray &user, const QByteArray &filePath) const
{
    return attempts_.value(user + '\x01' + filePath).detail;
}

void Engine::SendSlotFreed(int slot, OutcomeClass)
{
    // Each row left its channel as it ended; a mark still naming the idle channel is stale.
    queue_.ClearChannelMark(slot);
    // Every ending frees its slot for the next due row at once (after the socket handler that
    // ended it has returned), so rows do not wait a tick each; a failed row itself waits for its
    // retry time.
    StartDueItemsSoon();
}

std::vector<SendHost::DueRow> Engine::DueRowsOf(const QByteArray &user, int limit)
{
    std::vector<DueRow> rows;
    if (ShuttingDown || BusyUpdatingQ)
        return rows;
    for (int row : queue_.DueRowsOf(user, clock_.nowSerial(), limit)) {
        const QueueItem item = queue_.item(row);
        rows.push_back({queue_.RowId(row), item.filePath(), item.message()});
    }
    return rows;
}

void Engine::MarkRowBusy(int slot, QueueRowId row)
{
    const int index = queue_.RowOf(row);
    if (index >= 0)
        queue_.MarkBusy(index, slot);
}

void Engine::AbortAllSends()
{
    for (SendChannel &sc : tx_)
        sc.Abort(OutcomeCode::Aborted);
}
