// The send outcome table: every code that ends a send attempt becomes one log line, one of
// three classes (delivered, retry later, give up) and the short text shown in the queue row.
#pragma once

#include <QByteArray>

struct Outcome {
    char outcomeClass = 'C';  // 'A' delivered, 'B' retry later, 'C' failed for good
    QByteArray logLine;
    QByteArray shortText;
};

// Codes are compared as whole texts; a code not in the table is class 'C', logged as
// "Send Error " + code and shown as itself.
Outcome ClassifyOutcome(const QByteArray &code, const QByteArray &user, const QByteArray &file,
                        const QByteArray &path);

// The words a queue row shows after "Retry Wait " or "Error: "; an unlisted code is its own text.
QByteArray ShortStatusText(const QByteArray &code);
