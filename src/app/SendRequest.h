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

// The absolute, lexically cleaned form of a path given relative to the folder (bytes kept as
// they are: the path names the file the user meant, whatever its encoding).
QByteArray AbsolutePath(const QByteArray &path, const QByteArray &currentFolder);

// One line per problem, naming the file it concerns; empty when every file may be queued.
// Refused: an addressee that is not in the address book, a path that is missing, is a folder
// or another non-file, is empty or cannot be read, a path holding the record separators
// (codes 1 and 2) of the queue file, and a message too long to travel in a request: the same
// checks as the queue loader's (QueuePathProblem, QueueMessageProblem).
QList<QByteArray> CheckSendRequest(const SendRequest &request, const UserList &users);

// The rows, in the order of the paths: queued and due at once, at the request's priority.
std::vector<QueueItem> MakeSendItems(const SendRequest &request, double nowSerial);

// Adds the rows at the end of the queue file of an installation that is not running; the rows
// already stored keep every byte. False when the file could not be written (it then stays as
// it was).
bool AppendToQueueFile(const QString &programFolder, const std::vector<QueueItem> &items);
