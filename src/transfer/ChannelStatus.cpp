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

ChannelStatusText DescribeChannelStatus(const ChannelSnapshot &channel)
{
    const bool receive = channel.direction == 'I';
    const QByteArray &letter = channel.letter;
    QByteArray word;
    bool progress = false;
    if (receive) {
        if (letter == "I" || letter.isEmpty())
            word = "Idle";
        else if (letter == "D")
            word = "Disabled";
        else if (letter == "L")
            word = "Listening";
        else if (letter == "C" && !channel.fileOpen)
            word = "Connecting";
        else if (letter == "C")
            word = "Receiving", progress = true;
    } else {
        if (letter == "W")
            word = "Waiting";
        else if (letter == "I")
            word = "Idle";
        else if (letter == "D")
            word = "Disabled";
        else if (letter == "B")
            word = "Busy", progress = true;
    }

    ChannelStatusText out;
    if (word.isEmpty())
        return out;
    out.changeStatus = true;
    out.statusLine = QByteArray(receive ? "Receive" : "Send") + " channel " + ' ' +
                     QByteArray::number(channel.number) + " status: " + word;
    out.changeProgress = true;
    if (!progress)
        return out;
    out.progressLine = QByteArray::number(static_cast<qlonglong>(channel.percent)) +
                       (receive ? "% done receiving " : "% done sending ") + channel.fileName +
                       (receive ? " from " : " to ") + channel.peer;
    out.rate = TransferRateText(channel.bytes, channel.startTime, channel.lastTime);
    return out;
}
