// The one check of a path that is to be queued for sending, used wherever files enter the queue
// (the queue loader, the hand-over from another start, --send): what, if anything, is wrong with
// it, in words that name the path with its control characters escaped.
#pragma once

#include <QByteArray>

enum class PathFinding {
    None,
    RecordCodes,       // codes 1 or 2, which the queue file cannot store
    ControlCharacters, // in the name, which every receiver refuses
    EdgeBlanks,        // a leading or trailing blank, which the queue file's reader would drop
    Missing,
    Folder,
    NotRegular,        // a FIFO, a device, a socket
    Unreadable,
    Empty,
};

struct PathCheck {
    PathFinding finding = PathFinding::None;
    QByteArray text; // "<path>: <what is wrong>", empty for None
};

// The path as given (absolute). Never blocks, whatever sits at the path.
PathCheck CheckQueuePath(const QByteArray &path);

// The absolute form of a path given relative to the current folder, with its folder part
// resolved as the kernel resolves it on open (symbolic links and ".." included) and its last
// component kept as given, so the name sent is the name given.
QByteArray ResolveQueuePath(const QByteArray &path, const QByteArray &currentFolder);
