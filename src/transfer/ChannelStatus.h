// The texts of the "Channel Status" frame for the shown channel: status line, progress line
// and transfer rate, worked out from a snapshot of one receive or send slot.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <cstdint>

// What the frame needs from one slot. For a receive slot: Letter, FileOpen, Percent, FileName,
// Login, ConnectionBytes, StartTime, LastWriteTime; for a send slot: Letter, PercentDone,
// FileName, UserName, BytesSent, SendStarted, LastPieceAt (fileOpen is not read).
struct ChannelSnapshot {
    char direction = 'O';  // 'I' receive, 'O' send
    int number = 1;        // the channel as shown, 1 to 4
    QByteArray letter;
    bool fileOpen = false;
    int64_t percent = 0;
    QByteArray fileName;
    QByteArray peer;  // the login (receive) or the addressee (send)
    int64_t bytes = 0;
    QDateTime startTime;
    QDateTime lastTime;
};

// The rate label is emptied on every refresh and then set to rate (which may stay empty). The
// status line is written only when changeStatus is set and it differs from what is shown, so
// the periodic refresh does not make it flicker. An unknown letter changes nothing.
struct ChannelStatusText {
    bool changeStatus = false;
    QByteArray statusLine;
    bool changeProgress = false;
    QByteArray progressLine;
    QByteArray rate;
};

ChannelStatusText DescribeChannelStatus(const ChannelSnapshot &channel);

// Kilobytes per second as "#.000" + "k/sec"; empty when no time has passed or the rate is 0.005 or less.
QByteArray TransferRateText(int64_t bytes, const QDateTime &start, const QDateTime &last);
