// Field and number helpers shared by every stored-file and wire format. Text is bytes.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
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

// Removes leading and trailing blanks (spaces only); the view form copies nothing.
QByteArray TrimBlanks(const QByteArray &text);
QByteArrayView TrimBlanks(QByteArrayView text);
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

// ---- Bytes read as characters ----
// The one rule by which byte texts become characters, wherever they do: a received file name
// on its way to the disk, and every text on the screen. Bytes that form valid UTF-8 are read as
// UTF-8; any other text is read as Windows-1252, byte by byte, the code page in which senders of
// this protocol write their punctuation (’ “ ” – — €). The five bytes that Windows-1252 leaves
// undefined (81, 8D, 8F, 90, 9D) read as the control characters of the same number, so the
// control-character checks below refuse or escape them like any other.
QString TextFromBytes(const QByteArray &bytes);
// One byte of Windows-1252 text.
QChar Cp1252ToUnicode(unsigned char byte);

// Control characters: codes 0 to 31, 127, and U+0080 to U+009F.
inline bool IsControlChar(char32_t c)
{
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
}
// True when the text, read by the rule above, holds a control character.
bool HasControlChars(const QByteArray &bytes);
// The text with every control character (read by the rule above) written as a backslash, "x"
// and its two upper-case hexadecimal digits ("\x1B" for ESC, "\x85" for U+0085), so that a
// text from elsewhere can neither break a log line nor drive the terminal that shows it. The
// other bytes stay as they are.
QByteArray EscapeControls(const QByteArray &bytes);
// How a control character is written where it is escaped: "\x1B".
QByteArray ControlEscape(char32_t code);
// The text with every control character (read by the rule above) made one blank, for a text
// that must stay on one line of a table; the other bytes stay as they are.
QByteArray BlankControls(const QByteArray &bytes);
