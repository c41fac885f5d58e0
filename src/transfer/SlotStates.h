// The states of the receive and send slots. Each value's comment gives the code the channel
// display and the protocol tables write for it; codes are made into text only where they are
// shown, logged or stored.
#pragma once

#include "core/Limits.h"

#include <QByteArray>

// What the channel display says about a receive slot.
enum class ReceiveLetter {
    Unstarted, // ""  communications not started yet
    Idle,      // "I"
    Listening, // "L" the one slot that takes the next caller
    Connected, // "C" serving a caller
    Disabled,  // "D" beyond the configured channels, or stopped at shutdown
};

// Where a receive slot's conversation stands.
enum class ReceiveState {
    Idle,      // "000" no caller (also before the first one)
    Greeted,   // "100" WELCOME sent, waiting for the request
    Receiving, // "200" request accepted, file data arriving
    Closing,   // "400" BUSY or a refusal sent, or finishing: what still arrives is thrown away
};

// What the channel display says about a send slot.
enum class SendLetter {
    Idle,     // "I" free for the scheduler
    Disabled, // "D" beyond the configured channels, for the whole run
    Waiting,  // "W" taken by the scheduler, not connecting yet (address lookup)
    Busy,     // "B" connecting or sending
};

// Where a send slot's conversation stands.
enum class SendState {
    Finished,   // "999" the last item's outcome is handled (also before the first item)
    Taken,      // "010" addressee found; for a dynamic address, waiting for the lookup
    Connecting, // "020" connecting, then waiting for the greeting
    Requested,  // "030" request sent, waiting for the reply
    Sending,    // "090" pieces going out ("040", reading the first piece, is never held)
    AllSent,    // "095" everything handed to the network, waiting for the receiver's close
};

// The pictures of the channel image list beside each channel button.
enum class ChannelPicture {
    Idle = 2,
    Active = 3,   // connected (receive), working on an item (send)
    Disabled = 4,
    Stopped = 5,  // a receive slot closed at shutdown
    Listening = 7,
};

// What moves a receive slot's conversation on.
enum class ReceiveEvent {
    Welcome,  // a caller was accepted and greeted
    Request,  // a whole request arrived and reads as one
    Refuse,   // a refusal is written (bad, unknown, unsafe, busy file, ...)
    End,      // the conversation ended, however: back to no caller
};

// What moves a send slot's attempt on.
enum class SendEvent {
    Take,     // the scheduler gave the slot a queue row
    Connect,  // the peer's address is known and the file open: connecting
    Welcome,  // the peer greeted with WELCOME: the request is written
    Accept,   // the peer accepted the request: pieces go out
    AllSent,  // the last piece was handed to the network
    End,      // the attempt ended, however: its outcome was handled
};

// The transitions of each slot kind, all in one place. An event that does not apply in a state
// leaves the state as it is.
ReceiveState NextReceiveState(ReceiveState state, ReceiveEvent event);
SendState NextSendState(SendState state, SendEvent event);

// The letters as the channel status display reads them.
QByteArray LetterCode(ReceiveLetter letter);
QByteArray LetterCode(SendLetter letter);
