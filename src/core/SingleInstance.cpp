// The previous-instance test, made with a lock file held in the program folder.
#include "core/SingleInstance.h"

#include <QDir>

SingleInstance::SingleInstance(const QString &programFolder)
    : lock_(std::make_unique<QLockFile>(QDir(programFolder).filePath(QStringLiteral(".parcelwise.lock"))))
{
    // A lock left by a process that no longer runs is taken over; a live one never is.
    lock_->setStaleLockTime(0);
}

bool SingleInstance::Acquire()
{
    return lock_->tryLock(0);
}
