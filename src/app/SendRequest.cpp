// Checking and queueing files given on the command line.
#include "app/SendRequest.h"

#include "core/FileOps.h"
#include "core/ProgramPaths.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QByteArray AbsolutePath(const QByteArray &path, const QByteArray &currentFolder)
{
    const QByteArray joined = path.startsWith('/') ? path : currentFolder + '/' + path;
    QList<QByteArray> parts;
    for (const QByteArray &part : joined.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.isEmpty())
                parts.removeLast();
            continue;
        }
        parts << part;
    }
    return '/' + parts.join('/');
}

QList<QByteArray> CheckSendRequest(const SendRequest &request, const UserList &users)
{
    QList<QByteArray> problems;
    const int user = FindUser(users, request.user);
    if (user < 0 || request.user.isEmpty())
        problems << "\"" + request.user + "\" is not a user of this installation (see Edit > Users)";
    for (const QByteArray &path : request.paths) {
        const QByteArray head = path + ": ";
        if (const QByteArray problem = QueuePathProblem(path); !problem.isEmpty()) {
            problems << problem;
            continue;
        }
        struct stat st {};
        if (::stat(path.constData(), &st) != 0) {
            problems << head + "no such file";
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            problems << head + "is a folder; only files can be sent";
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            problems << head + "is not a regular file";
            continue;
        }
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            problems << head + "cannot be read";
            continue;
        }
        ::close(fd);
        if (st.st_size == 0) {
            problems << head + "is empty; there is nothing to send";
            continue;
        }
    }
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
