// The download path and the refusals that come before the file is opened.
#include "transfer/Downloads.h"

#include "transfer/Protocol.h"

#include <QDir>
#include <QFileInfo>

DownloadTarget DownloadTargetFor(const QString &downloadsFolder, const QString &diskName)
{
    DownloadTarget target;
    target.path = QDir(downloadsFolder).filePath(diskName);
    target.contained = QFileInfo(target.path).absolutePath() == QDir(downloadsFolder).absolutePath();
    return target;
}

QByteArray DownloadRefusal(bool contained, bool beingWritten, int64_t existingSize, int64_t announcedSize)
{
    if (!contained)
        return Protocol::BlankNameCode;
    if (beingWritten)
        return Protocol::CannotCreateCode;
    if (existingSize >= announcedSize)
        return Protocol::FileExistsCode;
    return {};
}
