// Turning the program's byte texts into screen text. Only the screen decodes: files, wire and
// log keep their bytes.
#pragma once

#include <QByteArray>
#include <QString>

// The bytes read by the program's one rule (TextFromBytes: UTF-8 when valid, else Windows-1252).
// Line ends (CR LF, or CR alone as in the stored files) become line feeds; every other control
// character is shown escaped ("\x1B"), never raw.
QString DisplayText(const QByteArray &bytes);
// A text for one line of a message: control characters become blanks and a text longer than
// `most` characters keeps its start and end around an ellipsis.
QString OneLineText(const QString &text, int most = 80);
// A received message as the message viewer shows it: its CR LF pairs are its line breaks, and
// every other control character, a lone CR or LF included, is shown escaped.
QString MessageText(const QByteArray &bytes);
// The text cut to at most `most` characters, an ellipsis in place of the rest.
QString CutText(const QString &text, int most);
// The text with every line broken into lines of at most `width` characters: at the last blank
// that fits, or inside a word longer than the width.
QString WrapLines(const QString &text, int width);
// A window's title naming the installation: "Parcelwise (run)" for the folder /home/me/run.
QString FolderTitle(const QString &title, const QString &programFolder);
