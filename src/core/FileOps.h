// File operations shared by the stored-file Parts and the transfer engine. Errors never
// propagate: they give empty results or result codes.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

class QIODevice;

bool FileExists(const QString &path);
bool FolderExists(const QString &path);
void DeleteFile(const QString &path);
// Size in bytes, 0 on any error. 64-bit: files over 2 GiB are ordinary.
int64_t FileLength(const QString &path);
// The text after the last "/" or "\" of the path; the whole path when it has neither.
QByteArray FileNameOf(const QByteArray &path);
QString FileNameOf(const QString &path);
// Empty for an empty path, a missing file or any read error.
QByteArray ReadWholeFile(const QString &path);

// Result codes of WriteWholeFile.
enum WriteResult : int { WriteOk = 0, WriteEmptyPath = 1, WriteDeleteFailed = 2, WriteOpenFailed = 3,
                         WriteWriteFailed = 4, WriteCloseFailed = 5 };
// Writes the text as the file's whole content. The text goes to a temporary file in the same
// folder which then replaces the old file, so a crash or a full disk never leaves the old
// file lost or half-written: on failure the old file is untouched. The file is private to its
// owner (0600), and a symbolic link in its place is replaced, not followed.
int WriteWholeFile(const QString &path, const QByteArray &text);
// The same with the content written by write, which returns false when a write failed.
int WriteWholeFileWith(const QString &path, const std::function<bool(QIODevice &)> &write);
// The stored-file rule: an empty content deletes the file, anything else is written whole.
int StoreFile(const QString &path, const QByteArray &text);
// A stored file of the program folder (users, preferences, queue): read only when it is a
// regular file itself, never through a symbolic link; empty otherwise.
QByteArray ReadStoredFile(const QString &path);
// Opens a regular file for reading without ever blocking on a FIFO or device put in its place
// (and, unless followLinks, without following a symbolic link); the descriptor is checked to be
// a regular file and is blocking again when returned. -1 when it is anything else.
int OpenRegularFile(const QByteArray &path, bool followLinks = true);
// Takes group and other access away from those of the named files (in the program folder) that
// are the owner's regular files; the names of the files changed.
QList<QByteArray> TightenStoredFiles(const QString &programFolder, const QStringList &names);
