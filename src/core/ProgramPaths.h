// The folders and the queue file of one installation, laid out under the folder the program
// starts from.
#pragma once

#include "core/Limits.h"

#include <QString>
#include <array>

// The queue file, in the program folder.
inline constexpr char QueueFileName[] = "Parcelwise_Queue";
// The lock that makes one instance per program folder.
inline constexpr char LockFileName[] = ".parcelwise.lock";

struct ProgramPaths {
    QString ProgramFolder;
    QString QueueFile;
    QString DownloadsFolder;
    QString LogsFolder;
    QString TempFolder;
    std::array<QString, ChannelCount> LookupTempFolder;
};

ProgramPaths MakeProgramPaths(const QString &programFolder);
// Creates every folder that does not exist yet (one level each).
void CreateProgramFolders(const ProgramPaths &paths);
// Why a folder of the installation that is a symbolic link may not be used, or empty when it is
// no link or a sound one: a link is taken only when it and the folder it names belong to this
// user and no one else may write in that folder (so the downloads can live on another disk, but
// no other user can send them elsewhere).
QByteArray LinkedFolderProblem(const QString &folder);
