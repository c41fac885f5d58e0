// The previous-instance test, made with a lock file held in the program folder.
#include "core/SingleInstance.h"

#include "core/ProgramPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {
// A process with this id runs (one of another user's included).
bool ProcessLives(qint64 pid)
{
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

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
      lock_(std::make_unique<QLockFile>(QDir(programFolder).filePath(QLatin1String(LockFileName))))
{
    // A lock left by a process that no longer runs is taken over; a live one never is.
    lock_->setStaleLockTime(0);
}

SingleInstance::Result SingleInstance::Acquire()
{
    failure_.clear();
    const QString lockPath = QDir(folder_).filePath(QLatin1String(LockFileName));
    QByteArray reason;
    if (QFileInfo(lockPath).isSymLink())
        reason = QByteArray(LockFileName) + " in it is a symbolic link";
    else if (lock_->tryLock(0)) {
        // The received files and the temporary files go only where this user alone decides.
        const ProgramPaths paths = MakeProgramPaths(folder_);
        for (const QString &folder : {paths.DownloadsFolder, paths.TempFolder, paths.LogsFolder}) {
            const QByteArray problem = LinkedFolderProblem(folder);
            if (!problem.isEmpty() && reason.isEmpty())
                reason = QFile::encodeName(QFileInfo(folder).fileName()) + " in it " + problem;
        }
        if (reason.isEmpty())
            return Result::Acquired;
        lock_->unlock();
    }
    if (reason.isEmpty() && lock_->error() == QLockFile::LockFailedError) {
        // A lock whose process still runs is another instance, and so is one still being
        // written. One left by a process that has ended is stale and would have been taken
        // over, unless the folder forbids removing it; and a folder is no lock at all.
        qint64 pid = 0;
        const QFileInfo lock(lockPath);
        if (lock.exists() && !lock.isFile())
            reason = QFile::encodeName(lock.fileName()) + " in it is not a file";
        else if (!lock_->getLockInfo(&pid, nullptr, nullptr) || pid <= 0 || ProcessLives(pid))
            return Result::HeldByOther;
    }
    if (reason.isEmpty())
        reason = FolderProblem(folder_);
    failure_ = "Cannot use the program folder " + QFile::encodeName(QDir::toNativeSeparators(folder_)) + ": " + reason;
    return Result::Failed;
}

qint64 SingleInstance::LiveHolder(const QString &programFolder)
{
    const QString lockPath = QDir(programFolder).filePath(QLatin1String(LockFileName));
    if (QFileInfo(lockPath).isSymLink())
        return 0;
    QLockFile lock(lockPath);
    qint64 pid = 0;
    return lock.getLockInfo(&pid, nullptr, nullptr) && ProcessLives(pid) ? pid : 0;
}
