// Where a received file is stored and whether a request for it is taken, as plain code.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// The received name joined to the downloads folder. contained is false when the joined path
// would lie outside that folder, whatever the name held (a folder part, "..", an absolute path).
struct DownloadTarget {
    QString path;
    bool contained = false;
};
DownloadTarget DownloadTargetFor(const QString &downloadsFolder, const QString &diskName);

// The refusal of a well-formed request before its file is opened, in this order: "403" a name
// that leaves the downloads folder, "405" a file another channel is writing now (two callers
// appending to one file would interleave their bytes), "406" a file already held whole or
// larger; empty to take the request.
QByteArray DownloadRefusal(bool contained, bool beingWritten, int64_t existingSize, int64_t announcedSize);
