// One id a line, the oldest first; written whole through the atomic store.
#include "app/HandoverJournal.h"

#include "core/FileOps.h"

#include <QDir>
#include <QRandomGenerator>

namespace {
QString JournalPath(const QString &programFolder)
{
    return QDir(programFolder).filePath(QLatin1String(HandoverJournalName));
}

bool IsId(const QByteArray &id)
{
    if (id.size() != 32)
        return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}
} // namespace

QByteArray NewHandoverId()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
}

bool HandoverDone(const QString &programFolder, const QByteArray &id)
{
    return IsId(id) && ReadStoredFile(JournalPath(programFolder)).split('\n').contains(id);
}

bool RecordHandover(const QString &programFolder, const QByteArray &id)
{
    if (!IsId(id))
        return false;
    QList<QByteArray> ids = ReadStoredFile(JournalPath(programFolder)).split('\n');
    ids.removeAll(QByteArray());
    ids << id;
    if (ids.size() > HandoverJournalKeeps)
        ids = ids.mid(ids.size() - HandoverJournalKeeps);
    return WriteWholeFile(JournalPath(programFolder), ids.join('\n') + '\n') == WriteOk;
}
