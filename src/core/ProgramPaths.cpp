// Folder layout of an installation.
#include "core/ProgramPaths.h"

#include "core/FileOps.h"

#include <QDir>

ProgramPaths MakeProgramPaths(const QString &programFolder)
{
    ProgramPaths p;
    const QDir root(programFolder);
    p.ProgramFolder = programFolder;
    p.QueueFile = root.filePath(QLatin1String(QueueFileName));
    p.DownloadsFolder = root.filePath(QStringLiteral("Parcelwise_Downloads"));
    p.LogsFolder = root.filePath(QStringLiteral("Parcelwise_Logs"));
    p.TempFolder = root.filePath(QStringLiteral("Temporary_Files"));
    for (int i = 0; i < 4; ++i)
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
