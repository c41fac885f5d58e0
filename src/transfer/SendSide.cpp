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
    SetStatusPanel(1, "Connecting to " + host);
    connection.ConnectTo(QString::fromLocal8Bit(TrimBlanks(host)), static_cast<quint16>(port));
}

void Engine::SendEnded(int slot, QueueRowId row, const Outcome &outcome, const QByteArray &result,
                       const QByteArray &user, const QByteArray &fileName)
{
    NoteAttempt(slot, outcome.outcomeClass == OutcomeClass::Delivered);
    queue_.SetOutcomeStatus(row, outcome.outcomeClass, result, clock_.nowSerial(), outcome.shortText);
    queue_.ClearChannelMark(slot);
    if (outcome.outcomeClass == OutcomeClass::Failed)
        emit SendFailed(user, fileName, "Error: " + outcome.shortText);
}

void Engine::NoteAttempt(int slot, bool delivered)
{
    const SendChannel &sc = tx_[slot];
    const QByteArray key = sc.UserName + '\x01' + sc.FilePath;
    if (delivered) {
        attempts_.remove(key);
        return;
    }
    AttemptDetail detail;
    // The address a connection went to (the slot's, until it is reset after this ending).
    if (!sc.Host.isEmpty() && sc.Port > 0 && sc.Result != OutcomeCode::NoAddress)
        detail.address = sc.Host + ":" + QByteArray::number(sc.Port);
    // Why the peer's page gave no address: the slot's lookup has just ended.
    if (sc.Result == OutcomeCode::NoAddress && sc.AddressType == AddressKind::Dynamic) {
        const HttpResponseReader &reader = lookup_.Client(slot).Reader();
        detail.pageProblem = PageProblemWords(lookup_.LastResult(slot).Failure, reader.SocketStatus(), reader.HttpStatus());
    }
    attempts_.insert(key, detail);
}

AttemptDetail Engine::LastAttempt(const QByteArray &user, const QByteArray &filePath) const
{
    return attempts_.value(user + '\x01' + filePath);
}

void Engine::SendSlotFreed(int, OutcomeClass)
{
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
