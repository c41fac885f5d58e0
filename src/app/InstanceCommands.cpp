// Queue table, status report and the running engine's answers on the local link.
#include "app/InstanceCommands.h"

#include "app/HandoverJournal.h"

#include "app/SendRequest.h"
#include "core/TextUtil.h"
#include "transfer/ChannelStatus.h"
#include "transfer/Engine.h"
#include "transfer/QueueColumns.h"

#include <QFile>
#include <QString>
#include <unistd.h>

namespace {
// Width as a terminal shows it: characters, not bytes.
qsizetype ShownWidth(const QByteArray &text)
{
    return QString::fromLocal8Bit(text).size();
}

QByteArray Padded(const QByteArray &text, qsizetype width)
{
    return text + QByteArray(std::max<qsizetype>(0, width - ShownWidth(text)), ' ');
}

// One line of --status for a slot, from the snapshot the engine gives of it.
QByteArray ChannelLine(SlotSnapshot snap)
{
    snap.fileName = BlankControls(snap.fileName);
    snap.peer = BlankControls(snap.peer);
    const ChannelStatusText text = DescribeChannelStatus(snap);
    QByteArray line = text.statusLine;
    if (!text.progressLine.isEmpty())
        line += ", " + text.progressLine;
    if (!text.rate.isEmpty())
        line += ", " + text.rate;
    return line;
}
} // namespace

QByteArray QueueTable(const std::vector<QueueItem> &items, double nowSerial,
                      const std::function<AttemptDetail(const QueueItem &)> &detailOf)
{
    if (items.empty())
        return "The queue is empty.\n";
    QList<QByteArray> heads = {"#"};
    for (const QueueColumn &column : QueueColumns)
        heads << column.heading;
    QList<QList<QByteArray>> rows;
    for (size_t r = 0; r < items.size(); ++r) {
        const QueueItem &item = items[r];
        QList<QByteArray> cells = {QByteArray::number(static_cast<qulonglong>(r + 1))};
        for (const QueueColumn &column : QueueColumns) {
            QByteArray text = item.field(column.field);
            // The status says what it means, where it needs words.
            if (column.field == QueueItem::StatusText) {
                const QByteArray words =
                    RowStatusWords(item, detailOf ? detailOf(item) : AttemptDetail{}, nowSerial);
                if (!words.isEmpty())
                    text += " (" + words + ")";
            }
            cells << BlankControls(text);
        }
        rows.append(cells);
    }
    QList<qsizetype> widths;
    for (qsizetype c = 0; c < heads.size(); ++c) {
        qsizetype w = ShownWidth(heads[c]);
        for (const QList<QByteArray> &row : rows)
            w = std::max(w, ShownWidth(row[c]));
        widths << w;
    }
    auto format = [&](const QList<QByteArray> &cells) {
        QByteArray line;
        for (qsizetype c = 0; c < cells.size(); ++c) {
            // The row number is right-aligned, the last column is not padded.
            if (c == 0)
                line += QByteArray(widths[0] - ShownWidth(cells[0]), ' ') + cells[0];
            else if (c + 1 == cells.size())
                line += cells[c];
            else
                line += Padded(cells[c], widths[c]);
            if (c + 1 < cells.size())
                line += "  ";
        }
        return line + '\n';
    };
    QByteArray out = format(heads);
    for (const QList<QByteArray> &row : rows)
        out += format(row);
    return out;
}

QByteArray StatusReport(const Engine &engine, const QByteArray &runMode)
{
    QByteArray out = "Parcelwise is running " + runMode + " in " + QFile::encodeName(engine.Paths().ProgramFolder) +
                     " (process " + QByteArray::number(::getpid()) + ")\n";
    const int listening = engine.ListeningPort();
    out += "Port: " + QByteArray::number(engine.Prefs.ListenPort) +
           (listening ? QByteArray(", listening") : QByteArray(", not listening")) + '\n';
    out += "Address: " + engine.OwnAddress() + " (" +
           (engine.Prefs.AddressType == AddressKind::Dynamic ? QByteArray("dynamic") : QByteArray("static")) + ")\n";
    // "Reachable at 203.0.113.7:45000 (router, NAT-PMP)" while the router maps the port.
    const QByteArray reachable = engine.Mapper().StatusLine();
    if (!reachable.isEmpty())
        out += reachable + '\n';
    // The own key, which two people compare by phone before they trust the first exchange.
    const QByteArray key = engine.Trust().OwnFingerprint();
    out += "Key: " + (key.isEmpty() ? QByteArray("none (transfers are not encrypted)") : key) + '\n';
    int queued = 0, busy = 0, sent = 0, failed = 0, held = 0;
    const QueueModel &queue = engine.Queue();
    for (int row = 0; row < queue.rowCount(); ++row) {
        const std::optional<RowStatus> s = ReadRowStatus(queue.field(row, QueueItem::Status));
        queued += s == RowStatus::Queued || s == RowStatus::Waiting;
        busy += s == RowStatus::Busy;
        sent += s == RowStatus::Sent;
        failed += s == RowStatus::Error;
        held += s == RowStatus::Held;
    }
    out += "Queue: " + QByteArray::number(queue.rowCount()) + " rows (" +
           QByteArray::number(queued) + " waiting, " + QByteArray::number(busy) + " being sent, " +
           QByteArray::number(held) + " held, " + QByteArray::number(sent) + " sent, " +
           QByteArray::number(failed) + " failed)\n";
    if (engine.ShuttingDown)
        out += "Shutting down\n";
    for (const ReceiveChannel &rc : engine.Receivers())
        out += ChannelLine(rc.Snapshot()) + '\n';
    for (const SendChannel &sc : engine.Senders())
        out += ChannelLine(sc.Snapshot()) + '\n';
    return out;
}

namespace {

// When files just queued go, as the person who queued them is told.
QByteArray WhenSent(const Engine &engine, const QByteArray &it)
{
    bool anyChannel = false, anyIdle = false;
    for (const SendChannel &sc : engine.Senders()) {
        anyChannel = anyChannel || sc.Letter != SendLetter::Disabled;
        anyIdle = anyIdle || sc.Letter == SendLetter::Idle;
    }
    if (!anyChannel)
        return "Parcelwise is running but has no send channel, so " + it +
               " waits (Number of Send Channels in Edit > Preferences, from the next start)";
    if (!engine.CommsStarted())
        return "Parcelwise is running and sends " + it +
               " once communications start (Communications > Start Communications)";
    return "Parcelwise is running and sends " + it + (anyIdle ? " now" : " when a send channel is free");
}

} // namespace

std::optional<LinkMessage> AnswerEngineRequest(Engine &engine, const LinkMessage &request, const QByteArray &runMode)
{
    const QByteArray &verb = request.first();
    if (verb == LinkVerb::List)
        return LinkMessage{LinkVerb::Ok, QueueTable(engine.Queue().items(), engine.ClockRef().nowSerial(),
                                                    [&engine](const QueueItem &item) {
                                                        return engine.LastAttempt(item.userName(), item.filePath());
                                                    })};
    if (verb == LinkVerb::Status)
        return LinkMessage{LinkVerb::Ok, StatusReport(engine, runMode)};
    if (verb == LinkVerb::ClearSent) {
        if (engine.ShuttingDown)
            return LinkMessage{ClosingReply};
        const int removed = engine.RemoveSentRows();
        return LinkMessage{LinkVerb::Ok, "Removed " + QByteArray::number(removed) +
                                             (removed == 1 ? " sent row" : " sent rows") + " from the queue.\n"};
    }
    if (verb != LinkVerb::Add && verb != LinkVerb::AddOnce)
        return std::nullopt;
    // ADD user message priority path..., or ADD1 id user message priority path...
    const bool once = verb == LinkVerb::AddOnce;
    const LinkMessage args = once ? request.mid(2) : request.mid(1);
    if (args.size() < 4 || (once && request.size() < 2))
        return LinkMessage{LinkVerb::Refused, "incomplete request"};
    if (engine.ShuttingDown)
        return LinkMessage{ClosingReply};
    SendRequest send;
    send.user = args[0];
    send.message = args[1];
    send.priority = args[2].toInt();
    if (send.priority < 1 || send.priority > 3)
        return LinkMessage{LinkVerb::Refused, "the priority must be 1, 2 or 3"};
    send.paths = args.mid(3);
    const QByteArray count = QByteArray::number(send.paths.size()) + (send.paths.size() == 1 ? " file" : " files");
    const LinkMessage queued{LinkVerb::Ok, "Queued " + count + " for " + send.user + " at priority " +
                                               QByteArray::number(send.priority) + "; " +
                                               WhenSent(engine, send.paths.size() == 1 ? "it" : "them") + ".\n"};
    // A request asked again after its answer was lost was acted on the first time.
    if (once && HandoverDone(engine.Paths().ProgramFolder, request[1]))
        return queued;
    for (const QByteArray &path : send.paths)
        if (!path.startsWith('/'))
            return LinkMessage{LinkVerb::Refused, path + ": not an absolute path"};
    const QList<QByteArray> problems = CheckSendRequest(send, engine.Users);
    if (!problems.isEmpty())
        return LinkMessage{LinkVerb::Refused} + problems;
    engine.AddQueueItems(MakeSendItems(send, engine.ClockRef().nowSerial()));
    // Right after the queue file holds the rows: a client that finds the installation gone
    // from here on leaves the rows to it.
    if (once && !RecordHandover(engine.Paths().ProgramFolder, request[1]))
        engine.Showit("Cannot record the hand-over in " + QByteArray(HandoverJournalName));
    engine.Showit("Queued " + count + " for " + send.user + " from the command line");
    return queued;
}
