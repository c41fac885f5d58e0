// Checking and queueing files given on the command line.
#include "app/SendRequest.h"

#include "core/FileOps.h"
#include "core/PathCheck.h"
#include "core/Preferences.h"
#include "core/ProgramPaths.h"
#include "core/TextUtil.h"
#include "core/Users.h"
#include "transfer/Queue.h"

#include <QDir>
#include <QFile>

QList<QByteArray> CheckSendRequest(const SendRequest &request, const UserList &users)
{
    QList<QByteArray> problems;
    const int user = FindUser(users, request.user);
    if (user < 0 || request.user.isEmpty())
        problems << "\"" + request.user + "\" is not a user of this installation (see Edit > Users)";
    for (const QByteArray &path : request.paths)
        if (const PathCheck check = CheckQueuePath(path); check.finding != PathFinding::None)
            problems << check.text;
    if (const QByteArray problem = QueueMessageProblem(request.message); !problem.isEmpty())
        problems << problem;
    return problems;
}

std::vector<QueueItem> MakeSendItems(const SendRequest &request, double nowSerial)
{
    std::vector<QueueItem> items;
    for (const QByteArray &path : request.paths) {
        QueueItem item = QueueModel::MakeNewItem(request.user, FileNameOf(path), path, request.message, nowSerial);
        item.field(QueueItem::Priority) = QByteArray::number(request.priority);
        items.push_back(std::move(item));
    }
    return items;
}

bool AppendToQueueFile(const QString &programFolder, const std::vector<QueueItem> &items)
{
    const QString path = MakeProgramPaths(programFolder).QueueFile;
    QByteArray content = FileExists(path) ? ReadStoredFile(path) : QByteArray();
    if (FileExists(path) && content.isEmpty() && FileLength(path) > 0)
        return false; // unreadable: never replace rows we could not read
    // Text after the last record is ignored when the file is loaded; it must not become the
    // start of the first new record.
    content.truncate(content.lastIndexOf('\x02') + 1);
    return StoreFile(path, content + EncodeQueueFile(items)) == WriteOk;
}

int RemoveSentRowsFromQueueFile(const QString &programFolder)
{
    const QString path = MakeProgramPaths(programFolder).QueueFile;
    if (!FileExists(path))
        return 0;
    const QByteArray content = ReadStoredFile(path);
    if (content.isEmpty())
        return FileLength(path) > 0 ? -1 : 0;
    // Records end with code 2, their fields with code 1; the status is the first field. Text
    // after the last record is kept as it is (the reader ignores it).
    QByteArray kept;
    int removed = 0;
    qsizetype start = 0;
    for (qsizetype end = content.indexOf('\x02'); end >= 0; end = content.indexOf('\x02', start)) {
        const QByteArrayView record(content.constData() + start, end + 1 - start);
        const qsizetype sep = record.indexOf('\x01');
        if (ReadRowStatus(TrimBlanks(sep < 0 ? record : record.first(sep))) == RowStatus::Sent)
            ++removed;
        else
            kept += record;
        start = end + 1;
    }
    kept += content.mid(start);
    if (removed == 0)
        return 0;
    return StoreFile(path, kept) == WriteOk ? removed : -1;
}

bool HoldsInstallation(const QString &programFolder)
{
    const ProgramPaths paths = MakeProgramPaths(programFolder);
    const QDir root(programFolder);
    return FileExists(paths.QueueFile) || FileExists(root.filePath(QLatin1String(UsersFileName))) ||
           FileExists(root.filePath(QLatin1String(PrefsFileName))) || FolderExists(paths.LogsFolder);
}
