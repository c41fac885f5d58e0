// Status, progress and rate texts of the channel shown in the "Channel Status" frame.
#include "transfer/ChannelStatus.h"

#include "core/Clock.h"

QByteArray TransferRateText(int64_t bytes, const QDateTime &start, const QDateTime &last)
{
    const int64_t seconds = AbsSecondsBetween(start, last);
    if (seconds == 0)
        return {};
    const double rate = static_cast<double>(bytes) / 1000.0 / static_cast<double>(seconds);
    if (rate <= 0.005)
        return {};
    QByteArray text = QByteArray::number(rate, 'f', 3);
    // "#" shows no digit before the point below 1.
    if (text.startsWith("0."))
        text.remove(0, 1);
    return text + "k/sec";
}

ChannelStatusText DescribeChannelStatus(const SlotSnapshot &slot)
{
    const bool receive = slot.direction == 'I';
    QByteArray word;
    bool progress = false;
    if (receive) {
        switch (slot.receiveLetter) {
        case ReceiveLetter::Unstarted:
        case ReceiveLetter::Idle: word = "Idle"; break;
        case ReceiveLetter::Disabled: word = "Disabled"; break;
        case ReceiveLetter::Listening: word = "Listening"; break;
        case ReceiveLetter::Connected:
            // Until its file is open the caller is still being talked to.
            progress = slot.receiveState == ReceiveState::Receiving;
            word = progress ? "Receiving" : "Connecting";
            break;
        }
    } else {
        switch (slot.sendLetter) {
        case SendLetter::Waiting: word = "Waiting"; break;
        case SendLetter::Idle: word = "Idle"; break;
        case SendLetter::Disabled: word = "Disabled"; break;
        case SendLetter::Busy: word = "Busy", progress = true; break;
        }
    }

    ChannelStatusText out;
    if (word.isEmpty())
        return out;
    out.changeStatus = true;
    out.statusLine = QByteArray(receive ? "Receive" : "Send") + " channel " + ' ' +
                     QByteArray::number(slot.number) + " status: " + word;
    out.changeProgress = true;
    if (!progress)
        return out;
    out.progressLine = QByteArray::number(static_cast<qlonglong>(slot.percent)) +
                       (receive ? "% done receiving " : "% done sending ") + slot.fileName +
                       (receive ? " from " : " to ") + slot.peer;
    out.rate = TransferRateText(slot.bytes, slot.startTime, slot.lastTime);
    return out;
}

QByteArray ListeningText(int index)
{
    return "Listening on slot  " + QByteArray::number(index + 1);
}
