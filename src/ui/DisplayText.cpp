// Screen decoding of byte texts.
#include "ui/DisplayText.h"

#include "core/TextUtil.h"

#include <QDir>

namespace {
// The control characters of the text written as "\x" and two hexadecimal digits, as the log
// writes them; line feeds stay when keepLineFeeds is set.
QString Escaped(const QString &text, bool keepLineFeeds)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        if (IsControlChar(c.unicode()) && !(keepLineFeeds && c == u'\n'))
            shown += QString::fromLatin1(ControlEscape(c.unicode()));
        else
            shown += c;
    }
    return shown;
}
} // namespace

QString DisplayText(const QByteArray &bytes)
{
    QString text = TextFromBytes(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    return Escaped(text, true);
}

QString MessageText(const QByteArray &bytes)
{
    QStringList lines = TextFromBytes(bytes).split(QStringLiteral("\r\n"));
    for (QString &line : lines)
        line = Escaped(line, false);
    return lines.join(u'\n');
}

QString OneLineText(const QString &text, int most)
{
    QString line = text;
    for (QChar &c : line)
        if (IsControlChar(c.unicode()))
            c = u' ';
    if (line.size() > most && most > 2) {
        const qsizetype half = (most - 1) / 2;
        line = line.left(half) + QChar(0x2026) + line.right(half);
    }
    return line;
}

QString CutText(const QString &text, int most)
{
    if (text.size() <= most || most < 1)
        return text;
    return text.left(most - 1) + QChar(0x2026);
}

QString WrapLines(const QString &text, int width)
{
    if (width < 1)
        return text;
    QStringList out;
    for (QString line : text.split(u'\n')) {
        while (line.size() > width) {
            qsizetype cut = line.lastIndexOf(u' ', width);
            if (cut <= 0)
                cut = width; // a word longer than the line is broken inside
            out << line.left(cut);
            line = line.mid(cut);
            if (line.startsWith(u' '))
                line.remove(0, 1);
        }
        out << line;
    }
    return out.join(u'\n');
}

QString FolderTitle(const QString &title, const QString &programFolder)
{
    const QString name = QDir(programFolder).dirName();
    return name.isEmpty() ? title : title + QStringLiteral(" (") + name + u')';
}
