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
