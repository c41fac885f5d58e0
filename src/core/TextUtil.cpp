// Field and number helpers shared by the stored-file and wire formats.
#include "core/TextUtil.h"

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

QByteArray TrimBlanks(const QByteArray &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == ' ')
        ++begin;
    while (end > begin && text[end - 1] == ' ')
        --end;
    return text.mid(begin, end - begin);
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
