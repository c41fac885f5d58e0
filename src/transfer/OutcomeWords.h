// The words a person reads about a queue row: what its stored status ("Retry Wait 10061",
// "Error: File Missing") means, where the last attempt went and when the next one comes. The
// stored status texts and the log lines stay as they are; these words are for the row's tool
// tip and for --list only.
#pragma once

#include "dynaddr/AddressPage.h"

#include <QByteArray>

struct QueueItem;

// What the last attempt of a row learnt beyond its stored status.
struct AttemptDetail {
    QByteArray address;     // "192.0.2.7:4444" where a connection was tried; empty when none was
    QByteArray pageProblem; // why the peer's page gave no address (PageProblemWords); empty when unknown
    bool operator==(const AttemptDetail &) const = default;
};

// The meaning of a stored status text, in words: "connection refused by 192.0.2.7:4444" for
// "Retry Wait 10061" after a try at that address. Empty for a status that says it all
// ("Queued", "Hold", "Sent", "Busy").
QByteArray OutcomeWords(const QByteArray &statusText, const AttemptDetail &detail = {});

// Why a lookup of a peer's page gave no address: "the peer's page says it is closed", "the
// peer's page could not be fetched: the web server answered 404", ... socketStatus and
// httpStatus are the lookup's own (HttpResponseReader::SocketStatus and HttpStatus).
QByteArray PageProblemWords(LookupFailure failure, const QByteArray &socketStatus, const QByteArray &httpStatus);

// A row in one line for a person: its status words and, for a row waiting to retry, when it
// will be tried again ("connection refused by 192.0.2.7:4444; next try at 14:32"). nowSerial
// is the present as a date serial; a next try on another day names the day.
QByteArray RowStatusWords(const QueueItem &item, const AttemptDetail &detail, double nowSerial);
