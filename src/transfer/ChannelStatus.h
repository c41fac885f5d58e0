// The value snapshot of one receive or send slot, which the engine hands to whoever shows it (the
// main window, --status), and the texts of the "Channel Status" frame worked out from it: status
// line, progress line and transfer rate.
#pragma once

#include "transfer/SlotStates.h"

#include <QByteArray>
#include <QDateTime>
#include <cstdint>

// What is shown of one slot. A receive slot fills receiveLetter and receiveState, a send slot
// sendLetter; the other fields mean the same for both.
struct SlotSnapshot {
    char direction = 'O';  // 'I' receive, 'O' send
    int number = 1;        // the slot as shown, 1 to 4
    ReceiveLetter receiveLetter = ReceiveLetter::Unstarted;
    ReceiveState receiveState = ReceiveState::Idle;
    SendLetter sendLetter = SendLetter::Idle;
    int64_t percent = 0;
    QByteArray fileName;
    QByteArray peer;  // the login (receive) or the addressee (send)
    int64_t bytes = 0;
    QDateTime startTime;  // the transfer's start and its last write or piece: the rate
    QDateTime lastTime;
};

// The rate label is emptied on every refresh and then set to rate (which may stay empty). The
// status line is written only when changeStatus is set and it differs from what is shown, so
// the periodic refresh does not make it flicker.
struct ChannelStatusText {
    bool changeStatus = false;
    QByteArray statusLine;
    bool changeProgress = false;
    QByteArray progressLine;
    QByteArray rate;
};

ChannelStatusText DescribeChannelStatus(const SlotSnapshot &slot);

// Kilobytes per second as "#.000" + "k/sec"; empty when no time has passed or the rate is 0.005 or less.
QByteArray TransferRateText(int64_t bytes, const QDateTime &start, const QDateTime &last);

// "Listening on slot " and the receive slot's number (index + 1) after one blank of its own:
// the start of the log line and the status bar's text while that slot listens.
QByteArray ListeningText(int index);
