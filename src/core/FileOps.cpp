// File operations shared by the stored files and the transfer engine.
#include "core/FileOps.h"

#include "core/TextUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <unistd.h>

namespace {
QString TrimmedPath(const QString &path)
{
    QString p = path;
    while (p.startsWith(QLatin1Char(' ')))
        p.remove(0, 1);
    while (p.endsWith(QLatin1Char(' ')))
        p.chop(1);
    return p;
}
} // namespace

bool FileExists(const QString &path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.exists() && !info.isDir();
}

bool FolderExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

void DeleteFile(const QString &path)
{
    if (!path.isEmpty())
        QFile::remove(path);
}

int64_t FileLength(const QString &path)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || info.isDir())
        return 0;
    return info.size();
}

QByteArray FileNameOf(const QByteArray &path)
{
    const qsizetype at = std::max(path.lastIndexOf('\\'), path.lastIndexOf('/'));
    return at < 0 ? path : path.mid(at + 1);
}

QString FileNameOf(const QString &path)
{
    const qsizetype at = std::max(path.lastIndexOf(QLatin1Char('\\')), path.lastIndexOf(QLatin1Char('/')));
    return at < 0 ? path : path.mid(at + 1);
}

QByteArray ReadWholeFile(const QString &path)
{
    const QString p = TrimmedPath(path);
    if (p.isEmpty())
        return {};
    QFile file(p);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

int WriteWholeFile(const QString &path, const QByteArray &text)
{
    return WriteWholeFileWith(path, [&](QIODevice &file) { return file.write(text) == text.size(); });
}

int WriteWholeFileWith(const QString &path, const std::function<bool(QIODevice &)> &write)
{
    const QString p = TrimmedPath(path);
    if (p.isEmpty())
        return WriteEmptyPath;
    if (QFileInfo(p).isDir())
        return WriteDeleteFailed;
    QSaveFile file(p);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return WriteOpenFailed;
    // commit() only reports failures of write() itself: a failed flush of the write buffer or a
    // failed sync would still rename the short file over the old one, so both are checked here.
    if (!write(file) || !file.flush()) {
        file.cancelWriting();
        return WriteWriteFailed;
    }
    if (::fsync(file.handle()) != 0) {
        file.cancelWriting();
        return WriteCloseFailed;
    }
    if (!file.commit())
        return WriteCloseFailed;
    return WriteOk;
}

int StoreFile(const QString &path, const QByteArray &text)
{
    if (!text.isEmpty())
        return WriteWholeFile(path, text);
    const QString p = TrimmedPath(path);
    if (p.isEmpty())
        return WriteEmptyPath;
    if (QFile::exists(p) && !QFile::remove(p))
        return WriteDeleteFailed;
    return WriteOk;
}
