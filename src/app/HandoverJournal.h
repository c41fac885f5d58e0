// The hand-overs of `--send` a running installation has acted on, by the id the client gave
// each: a request sent again (the client asks anew when no answer came in time) is acted on
// once, and a client that finds the installation gone appends its rows only when the
// installation had not already queued them.
#pragma once

#include <QByteArray>
#include <QString>

// The file in the program folder; the most recent ids only.
inline constexpr char HandoverJournalName[] = "Parcelwise_Handovers";
inline constexpr int HandoverJournalKeeps = 1000;

// A new id: 32 hexadecimal digits from the system's random source.
QByteArray NewHandoverId();
bool HandoverDone(const QString &programFolder, const QByteArray &id);
// Records the id as acted on; false when the journal could not be written.
bool RecordHandover(const QString &programFolder, const QByteArray &id);
