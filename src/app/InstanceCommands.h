// What a running installation answers over its local link about its queue and channels, and
// the same texts for an installation that is not running.
#pragma once

#include "app/InstanceLink.h"
#include "transfer/Queue.h"

#include <QByteArray>
#include <vector>

class Engine;

// The queue as a table of numbered rows: status letter, priority, tries, addressee, file and
// status text; a line saying so when the queue is empty.
QByteArray QueueTable(const std::vector<QueueItem> &items);

// Where the installation is, its port and address, the queue's size and one line per channel.
QByteArray StatusReport(const Engine &engine, const QByteArray &runMode);

// ADD, LIST and STATUS for a running engine; nullopt for any other verb. runMode names how the
// installation runs ("headless", "with its window").
std::optional<LinkMessage> AnswerEngineRequest(Engine &engine, const LinkMessage &request, const QByteArray &runMode);

// The reply word of an ADD that came while the installation shuts down: the rows would miss
// the queue file, so the sender waits and writes them to the file itself.
inline constexpr char ClosingReply[] = "CLOSING";
