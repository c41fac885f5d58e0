// Screen decoding of byte texts.
#include "ui/DisplayText.h"

#include "ui/RtfReader.h"

#include <QStringDecoder>

QString DisplayText(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError()) {
        text.resize(bytes.size());
        for (qsizetype i = 0; i < bytes.size(); ++i)
            text[i] = Cp1252ToUnicode(static_cast<unsigned char>(bytes[i]));
    }
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    return text;
}

QString OneLineText(const QString &text, int most)
{
    QString line = text;
    for (QChar &c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u' ';
    if (line.size() > most && most > 2) {
        const qsizetype half = (most - 1) / 2;
        line = line.left(half) + QChar(0x2026) + line.right(half);
    }
    return line;
}
