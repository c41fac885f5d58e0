// Field and number helpers shared by every stored-file and wire format. Text is bytes.
#pragma once

#include <QByteArray>
#include <QList>
#include <cstdint>

inline constexpr char FieldSep = '\x01';   // separates fields of stored records and the request
inline constexpr char RecordSep = '\x02';  // ends a queue record
inline constexpr char CR = '\r';

// Number of fields: 0 when source or delimiter is empty, else occurrences + 1.
int CountFields(const QByteArray &source, const QByteArray &delimiter);
// Field n (from 1) between delimiters; empty when out of range.
QByteArray NthField(const QByteArray &source, const QByteArray &delimiter, int n);

// The pieces of a text that are each closed by the terminator, in order; text after the last
// terminator is an unfinished piece and is dropped.
QList<QByteArray> TerminatedPieces(const QByteArray &text, char terminator);

// Removes leading and trailing blanks (spaces only).
QByteArray TrimBlanks(const QByteArray &text);
bool IsBlank(const QByteArray &text);

// Reads the leading decimal number of a text: leading blanks skipped, an optional sign,
// digits, an optional fraction and exponent; reading stops at the first character that
// cannot continue the number; no digits gives 0.
double LeadingNumber(const QByteArray &text);
// Rounds to the nearest integer, halves to the even neighbour.
double RoundHalfEven(double value);
// LeadingNumber rounded half-even and clamped into [lo, hi]; the clamp keeps a huge text
// from overflowing the integer it is stored into.
int64_t LeadingInteger(const QByteArray &text, int64_t lo = INT64_MIN / 2, int64_t hi = INT64_MAX / 2);

QByteArray RemoveAll(QByteArray text, char c);
// The value of one hexadecimal digit (either case), or -1 for any other character.
int HexDigitValue(char c);
QByteArray ToDecimal(int64_t value);
