// Folder layout of an installation.
#include "core/ProgramPaths.h"

#include "core/FileOps.h"

#include <QDir>
#include <QFile>
#include <sys/stat.h>
#include <unistd.h>

ProgramPaths MakeProgramPaths(const QString &programFolder)
{
    ProgramPaths p;
    const QDir root(programFolder);
    p.ProgramFolder = programFolder;
    p.QueueFile = root.filePath(QLatin1String(QueueFileName));
    p.DownloadsFolder = root.filePath(QStringLiteral("Parcelwise_Downloads"));
    p.LogsFolder = root.filePath(QStringLiteral("Parcelwise_Logs"));
    p.TempFolder = root.filePath(QStringLiteral("Temporary_Files"));
    for (int i = 0; i < ChannelCount; ++i)
        p.LookupTempFolder[i] = QDir(p.TempFolder).filePath(QStringLiteral("Temp") + QString::number(i));
    return p;
}

void CreateProgramFolders(const ProgramPaths &paths)
{
    for (const QString &folder : {paths.DownloadsFolder, paths.TempFolder, paths.LogsFolder})
        if (!FolderExists(folder))
            QDir().mkdir(folder);
    for (const QString &folder : paths.LookupTempFolder)
        if (!FolderExists(folder))
            QDir().mkdir(folder);
}

QByteArray LinkedFolderProblem(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    struct stat link {};
    if (::lstat(path.constData(), &link) != 0 || !S_ISLNK(link.st_mode))
        return {};
    struct stat target {};
    if (link.st_uid != ::geteuid())
        return "is a symbolic link of another user";
    if (::stat(path.constData(), &target) != 0 || !S_ISDIR(target.st_mode))
        return "is a symbolic link to no folder";
    if (target.st_uid != ::geteuid())
        return "is a symbolic link to a folder of another user";
    if ((target.st_mode & 022) != 0)
        return "is a symbolic link to a folder that others may write in";
    return {};
}
