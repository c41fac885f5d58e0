// The codes of the slot states, for the channel display and the logs.
#include "transfer/SlotStates.h"

QByteArray LetterCode(ReceiveLetter letter)
{
    switch (letter) {
    case ReceiveLetter::Unstarted: return "";
    case ReceiveLetter::Idle: return "I";
    case ReceiveLetter::Listening: return "L";
    case ReceiveLetter::Connected: return "C";
    case ReceiveLetter::Disabled: return "D";
    }
    return "";
}

QByteArray LetterCode(SendLetter letter)
{
    switch (letter) {
    case SendLetter::Idle: return "I";
    case SendLetter::Disabled: return "D";
    case SendLetter::Waiting: return "W";
    case SendLetter::Busy: return "B";
    }
    return "";
}


ReceiveState NextReceiveState(ReceiveState state, ReceiveEvent event)
{
    switch (event) {
    case ReceiveEvent::Welcome:
        return state == ReceiveState::Idle ? ReceiveState::Greeted : state;
    case ReceiveEvent::Request:
        return state == ReceiveState::Greeted ? ReceiveState::Receiving : state;
    case ReceiveEvent::Refuse:
        return state == ReceiveState::Greeted || state == ReceiveState::Receiving ? ReceiveState::Closing : state;
    case ReceiveEvent::End:
        return ReceiveState::Idle;
    }
    return state;
}

SendState NextSendState(SendState state, SendEvent event)
{
    switch (event) {
    case SendEvent::Take:
        return state == SendState::Finished ? SendState::Taken : state;
    case SendEvent::Connect:
        return state == SendState::Taken ? SendState::Connecting : state;
    case SendEvent::Welcome:
        return state == SendState::Connecting ? SendState::Requested : state;
    case SendEvent::Accept:
        return state == SendState::Requested ? SendState::Sending : state;
    case SendEvent::AllSent:
        return state == SendState::Sending ? SendState::AllSent : state;
    case SendEvent::End:
        return SendState::Finished;
    }
    return state;
}
