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

