// Files put in the queue from outside the window: checked as a whole (one refused file queues
// nothing), made into queue rows as the queue loader makes them, and written to the queue file of
// an installation that is not running.
#pragma once

#include "core/Users.h"
#include "transfer/Queue.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <vector>

struct SendRequest {
    QByteArray user;
    QList<QByteArray> paths; // absolute
    QByteArray message;
    int priority = 3;
};

// One line per problem, naming the file it concerns; empty when every file may be queued.
// Refused: an addressee that is not in the address book, any finding of the one path check
// (CheckQueuePath), and a message too long to travel in a request (QueueMessageProblem).
QList<QByteArray> CheckSendRequest(const SendRequest &request, const UserList &users);

// The rows, in the order of the paths: queued and due at once, at the request's priority.
std::vector<QueueItem> MakeSendItems(const SendRequest &request, double nowSerial);

// Adds the rows at the end of the queue file of an installation that is not running; the rows
// already stored keep every byte. False when the file could not be written (it then stays as
// it was).
bool AppendToQueueFile(const QString &programFolder, const std::vector<QueueItem> &items);

// Takes the delivered ("S") rows out of the queue file of an installation that is not running,
// keeping every byte of the other rows; the number removed, or -1 when the file could not be
// read or written (it then stays as it was).
int RemoveSentRowsFromQueueFile(const QString &programFolder);

// Whether the folder holds an installation: its users, preferences or queue file, or its logs.
bool HoldsInstallation(const QString &programFolder);
