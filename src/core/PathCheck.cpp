// The checks run from the cheapest to the ones that touch the file system; the first finding
// decides.
#include "core/PathCheck.h"

#include "core/FileOps.h"
#include "core/TextUtil.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool HasEdgeBlank(const QByteArray &text)
{
    return !text.isEmpty() && (text.front() == ' ' || text.back() == ' ');
}

QByteArray Resolved(const QByteArray &path)
{
    char *real = ::realpath(path.constData(), nullptr);
    if (!real)
        return {};
    QByteArray result(real);
    std::free(real);
    return result;
}
} // namespace

PathCheck CheckQueuePath(const QByteArray &path)
{
    const QByteArray head = EscapeControls(path) + ": ";
    const QByteArray name = FileNameOf(path);
    // The queue file's own separators (fields end with code 1, records with code 2).
    if (path.contains('\x01') || path.contains('\x02'))
        return {PathFinding::RecordCodes,
                head + "the path holds a character with code 1 or 2, which the queue file cannot store"};
    if (HasControlChars(name))
        return {PathFinding::ControlCharacters, head + "the name holds control characters, which receivers refuse"};
    if (HasEdgeBlank(path) || HasEdgeBlank(name))
        return {PathFinding::EdgeBlanks, head + "the name begins or ends with a blank; rename the file to send it"};
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return {PathFinding::Missing, head + "no such file"};
    if (S_ISDIR(st.st_mode))
        return {PathFinding::Folder, head + "is a folder; only files can be sent"};
    if (!S_ISREG(st.st_mode))
        return {PathFinding::NotRegular, head + "is not a regular file"};
    const int fd = OpenRegularFile(path);
    if (fd < 0)
        return {PathFinding::Unreadable, head + "cannot be read"};
    struct stat opened {};
    const bool empty = ::fstat(fd, &opened) == 0 && opened.st_size == 0;
    ::close(fd);
    if (empty)
        return {PathFinding::Empty, head + "is empty; there is nothing to send"};
    return {};
}

QByteArray ResolveQueuePath(const QByteArray &path, const QByteArray &currentFolder)
{
    const QByteArray joined = path.startsWith('/') ? path : currentFolder + '/' + path;
    const qsizetype slash = joined.lastIndexOf('/');
    const QByteArray last = joined.mid(slash + 1);
    if (last.isEmpty() || last == "." || last == "..") {
        const QByteArray whole = Resolved(joined);
        return whole.isEmpty() ? joined : whole;
    }
    const QByteArray folder = slash == 0 ? QByteArray("/") : joined.left(slash);
    QByteArray real = Resolved(folder);
    if (real.isEmpty())
        return joined; // the folder is missing: the check says so
    if (!real.endsWith('/'))
        real += '/';
    return real + last;
}
