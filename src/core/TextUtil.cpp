// Field and number helpers shared by the stored-file and wire formats.
#include "core/TextUtil.h"

#include <QStringDecoder>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>

int CountFields(const QByteArray &source, const QByteArray &delimiter)
{
    if (source.isEmpty() || delimiter.isEmpty())
        return 0;
    int count = 1;
    qsizetype from = 0;
    while (true) {
        const qsizetype at = source.indexOf(delimiter, from);
        if (at < 0)
            return count;
        ++count;
        from = at + delimiter.size();
    }
}

QByteArray NthField(const QByteArray &source, const QByteArray &delimiter, int n)
{
    if (source.isEmpty() || delimiter.isEmpty() || n < 1)
        return {};
    qsizetype start = 0;
    for (int field = 1; field < n; ++field) {
        const qsizetype at = source.indexOf(delimiter, start);
        if (at < 0)
            return {};
        start = at + delimiter.size();
    }
    const qsizetype end = source.indexOf(delimiter, start);
    return end < 0 ? source.mid(start) : source.mid(start, end - start);
}

QList<QByteArray> TerminatedPieces(const QByteArray &text, char terminator)
{
    QList<QByteArray> pieces;
    qsizetype from = 0;
    for (qsizetype end; (end = text.indexOf(terminator, from)) >= 0; from = end + 1)
        pieces.append(text.mid(from, end - from));
    return pieces;
}

QByteArrayView TrimBlanks(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == ' ')
        ++begin;
    while (end > begin && text[end - 1] == ' ')
        --end;
    return text.sliced(begin, end - begin);
}

QByteArray TrimBlanks(const QByteArray &text)
{
    // The same bytes of the same text (a whole text stays shared).
    const QByteArrayView trimmed = TrimBlanks(QByteArrayView(text));
    return text.mid(trimmed.data() - text.constData(), trimmed.size());
}

bool IsBlank(const QByteArray &text)
{
    for (char c : text)
        if (c != ' ')
            return false;
    return true;
}

double LeadingNumber(const QByteArray &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    std::string number;
    if (i < n && (text[i] == '-' || text[i] == '+'))
        number += text[i++];
    bool digits = false;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
        number += text[i++];
        digits = true;
    }
    if (i < n && text[i] == '.') {
        std::string fraction = ".";
        qsizetype j = i + 1;
        while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) {
            fraction += text[j++];
            digits = true;
        }
        if (fraction.size() > 1 || digits) {
            number += fraction;
            i = j;
        }
    }
    if (!digits)
        return 0.0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        qsizetype j = i + 1;
        std::string exponent = "e";
        if (j < n && (text[j] == '-' || text[j] == '+'))
            exponent += text[j++];
        bool expDigits = false;
        while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) {
            exponent += text[j++];
            expDigits = true;
        }
        if (expDigits)
            number += exponent;
    }
    const double value = std::strtod(number.c_str(), nullptr);
    return std::isfinite(value) ? value : (value > 0 ? 1e300 : -1e300);
}

double RoundHalfEven(double value)
{
    return std::nearbyint(value); // the default rounding mode rounds halves to even
}

int64_t LeadingInteger(const QByteArray &text, int64_t lo, int64_t hi)
{
    const double value = RoundHalfEven(LeadingNumber(text));
    if (std::isnan(value) || value <= static_cast<double>(lo))
        return lo;
    if (value >= static_cast<double>(hi))
        return hi;
    return static_cast<int64_t>(value);
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray RemoveAll(QByteArray text, char c)
{
    text.replace(QByteArray(1, c), QByteArray());
    return text;
}

QByteArray ToDecimal(int64_t value)
{
    return QByteArray::number(static_cast<qlonglong>(value));
}

namespace {
bool IsUtf8(const QByteArray &bytes, QString *text = nullptr)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(bytes);
    if (utf8.hasError())
        return false;
    if (text)
        *text = std::move(decoded);
    return true;
}

bool IsCp1252Undefined(unsigned char byte)
{
    return byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
}

// Hands every control character of the text (read by the one rule) to onControl with its code,
// and every other byte to onByte as it is.
template <class OnByte, class OnControl>
void ScanControls(const QByteArray &bytes, OnByte &&onByte, OnControl &&onControl)
{
    const bool utf8 = IsUtf8(bytes);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (IsControlChar(byte) && byte < 0x80) {
            onControl(byte);
        } else if (utf8 && byte == 0xC2 && i + 1 < bytes.size() &&
                   IsControlChar(static_cast<unsigned char>(bytes[i + 1]))) {
            // U+0080..U+009F as UTF-8: C2 followed by the code itself.
            onControl(static_cast<unsigned char>(bytes[++i]));
        } else if (!utf8 && IsCp1252Undefined(byte)) {
            onControl(byte);
        } else {
            onByte(bytes[i]);
        }
    }
}
} // namespace

QByteArray ControlEscape(char32_t code)
{
    static const char digits[] = "0123456789ABCDEF";
    return QByteArray("\\x") + digits[(code >> 4) & 0xF] + digits[code & 0xF];
}

QChar Cp1252ToUnicode(unsigned char byte)
{
    // 0x80..0x9F differ from Latin-1; the five undefined codes keep their Latin-1 value, which
    // is a control character.
    static const char16_t high[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    if (byte >= 0x80 && byte <= 0x9F)
        return QChar(high[byte - 0x80]);
    return QChar(char16_t(byte));
}

QString TextFromBytes(const QByteArray &bytes)
{
    QString text;
    if (IsUtf8(bytes, &text))
        return text;
    text.resize(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i)
        text[i] = Cp1252ToUnicode(static_cast<unsigned char>(bytes[i]));
    return text;
}

bool HasControlChars(const QByteArray &bytes)
{
    return EscapeControls(bytes).size() != bytes.size();
}

QByteArray EscapeControls(const QByteArray &bytes)
{
    // Works on the bytes, so what is not a control character keeps its exact bytes.
    QByteArray out;
    out.reserve(bytes.size());
    ScanControls(bytes, [&](char byte) { out += byte; }, [&](char32_t code) { out += ControlEscape(code); });
    return out;
}

QByteArray BlankControls(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    ScanControls(bytes, [&](char byte) { out += byte; }, [&](char32_t) { out += ' '; });
    return out;
}
