// The folders and the queue file of one installation, laid out under the folder the program
// starts from.
#pragma once

#include <QString>
#include <array>

// The queue file, in the program folder.
inline constexpr char QueueFileName[] = "Parcelwise_Queue";

struct ProgramPaths {
    QString ProgramFolder;
    QString QueueFile;
    QString DownloadsFolder;
    QString LogsFolder;
    QString TempFolder;
    std::array<QString, 4> LookupTempFolder;
};

ProgramPaths MakeProgramPaths(const QString &programFolder);
// Creates every folder that does not exist yet (one level each).
void CreateProgramFolders(const ProgramPaths &paths);
