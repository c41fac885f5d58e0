// What a running installation answers over its local link about its queue and channels, and
// the same texts for an installation that is not running.
#pragma once

#include "app/InstanceLink.h"
#include "transfer/OutcomeWords.h"
#include "transfer/Queue.h"

#include <QByteArray>
#include <functional>
#include <vector>

class Engine;

// The queue as a table of numbered rows in the shown columns (QueueColumns): status letter,
// priority, tries, addressee, file and status text, the text followed by its words in brackets where it has any ("Retry Wait 10061
// (connection refused by 192.0.2.7:4444; next try at 10:00)"); a line saying so when the queue
// is empty. nowSerial is the present; detailOf gives what the running installation learnt of a
// row's last attempt (nothing for a stored queue).
QByteArray QueueTable(const std::vector<QueueItem> &items, double nowSerial,
                      const std::function<AttemptDetail(const QueueItem &)> &detailOf = {});

// Where the installation is, its port and address, the queue's size and one line per channel.
QByteArray StatusReport(const Engine &engine, const QByteArray &runMode);

// ADD, LIST and STATUS for a running engine; nullopt for any other verb. runMode names how the
// installation runs ("headless", "with its window").
std::optional<LinkMessage> AnswerEngineRequest(Engine &engine, const LinkMessage &request, const QByteArray &runMode);

// The reply word of an ADD that came while the installation shuts down: the rows would miss
// the queue file, so the sender waits and writes them to the file itself.
inline constexpr char ClosingReply[] = "CLOSING";
