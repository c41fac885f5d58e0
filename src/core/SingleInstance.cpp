// The previous-instance test, made with a lock file held in the program folder.
#include "core/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {
// Why a lock file cannot be made in the folder, in the system's words where it has them.
QByteArray FolderProblem(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    const QFileInfo info(folder);
    if (!info.exists())
        return ::access(path.constData(), F_OK) != 0 ? QByteArray(std::strerror(errno)) : "it cannot be reached";
    if (!info.isDir())
        return std::strerror(ENOTDIR);
    if (::access(path.constData(), W_OK | X_OK) != 0)
        return std::strerror(errno);
    return "its lock file cannot be created";
}
} // namespace

SingleInstance::SingleInstance(const QString &programFolder)
    : folder_(programFolder),
      lock_(std::make_unique<QLockFile>(QDir(programFolder).filePath(QStringLiteral(".parcelwise.lock"))))
{
    // A lock left by a process that no longer runs is taken over; a live one never is.
    lock_->setStaleLockTime(0);
}

SingleInstance::Result SingleInstance::Acquire()
{
    failure_.clear();
    if (lock_->tryLock(0))
        return Result::Acquired;
    const QString lockPath = QDir(folder_).filePath(QStringLiteral(".parcelwise.lock"));
    QByteArray reason;
    if (lock_->error() == QLockFile::LockFailedError) {
        // A lock whose process still runs is another instance, and so is one still being
        // written. One left by a process that has ended is stale and would have been taken
        // over, unless the folder forbids removing it; and a folder is no lock at all.
        qint64 pid = 0;
        const QFileInfo lock(lockPath);
        if (lock.exists() && !lock.isFile())
            reason = QFile::encodeName(lock.fileName()) + " in it is not a file";
        else if (!lock_->getLockInfo(&pid, nullptr, nullptr) || pid <= 0 ||
                 ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)
            return Result::HeldByOther;
    }
    if (reason.isEmpty())
        reason = FolderProblem(folder_);
    failure_ = "Cannot use the program folder " + QFile::encodeName(QDir::toNativeSeparators(folder_)) + ": " + reason;
    return Result::Failed;
}
