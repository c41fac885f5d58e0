// Turning the program's byte texts into screen text. Only the screen decodes: files, wire and
// log keep their bytes.
#pragma once

#include <QByteArray>
#include <QString>

// Bytes that form valid UTF-8 are read as UTF-8 (the local encoding here); anything else as the
// Western single-byte code page. Line ends (CR LF, or CR alone as in the stored files) become
// line feeds.
QString DisplayText(const QByteArray &bytes);
// A text for one line of a message: control characters become blanks and a text longer than
// `most` characters keeps its start and end around an ellipsis.
QString OneLineText(const QString &text, int most = 80);
