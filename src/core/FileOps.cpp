// File operations shared by the stored files and the transfer engine.
#include "core/FileOps.h"

#include "core/TextUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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
    // The new content goes to a private temporary file beside the old one (mode 0600, made new,
    // never through a link), which is then renamed over the name itself: a symbolic link planted
    // there is replaced, never followed to the file it names.
    QByteArray temp = QFile::encodeName(p) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return WriteOpenFailed;
    const auto discard = [&](int code) {
        ::unlink(temp.constData());
        return code;
    };
    {
        QFile file;
        if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
            ::close(fd);
            return discard(WriteOpenFailed);
        }
        if (!write(file) || !file.flush()) {
            file.close();
            ::close(fd);
            return discard(WriteWriteFailed);
        }
    }
    if (::fsync(fd) != 0) {
        ::close(fd);
        return discard(WriteCloseFailed);
    }
    if (::close(fd) != 0)
        return discard(WriteCloseFailed);
    if (::rename(temp.constData(), QFile::encodeName(p).constData()) != 0)
        return discard(WriteCloseFailed);
    return WriteOk;
}

QByteArray ReadStoredFile(const QString &path)
{
    const QString p = TrimmedPath(path);
    if (p.isEmpty())
        return {};
    const int fd = OpenRegularFile(QFile::encodeName(p), false);
    if (fd < 0)
        return {};
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    return file.readAll();
}

int OpenRegularFile(const QByteArray &path, bool followLinks)
{
    // Without blocking: a FIFO swapped in for the file must not hold the caller up.
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

QList<QByteArray> TightenStoredFiles(const QString &programFolder, const QStringList &names)
{
    QList<QByteArray> tightened;
    for (const QString &name : names) {
        const QByteArray path = QFile::encodeName(QDir(programFolder).filePath(name));
        struct stat st {};
        // Only the owner's own regular files; a link is never followed to change another file.
        if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        if ((st.st_mode & 077) == 0)
            continue;
        if (::chmod(path.constData(), st.st_mode & 0700) == 0)
            tightened << QFile::encodeName(name);
    }
    return tightened;
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
