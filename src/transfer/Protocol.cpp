// Builds and reads the peer conversation's texts; the channels own the sockets and the files.
#include "transfer/Protocol.h"

#include "core/Cipher.h"
#include "core/TextUtil.h"

#include <QRandomGenerator>

namespace Protocol {

bool HasTerminator(const QByteArray &buffer)
{
    return buffer.contains(Terminator);
}

RequestFraming FrameRequest(const QByteArray &buffered)
{
    const qsizetype at = buffered.indexOf(Terminator);
    if (at >= 0 && at + 2 <= MaxRequestSize)
        return RequestFraming::Complete;
    return buffered.size() >= MaxRequestSize ? RequestFraming::TooLong : RequestFraming::Incomplete;
}

QByteArray RandomDigits()
{
    QRandomGenerator *random = QRandomGenerator::global();
    const int count = random->bounded(1, 10) + 1;
    QByteArray digits;
    digits.reserve(count);
    for (int i = 0; i < count; ++i)
        digits.append(char('0' + random->bounded(1, 10)));
    return digits;
}

QByteArray BuildRequestRecord(const QByteArray &salt, const QByteArray &login, const QByteArray &password,
                              const QByteArray &fileName, int64_t fileSize, const QByteArray &message)
{
    QByteArray flatMessage = message;
    flatMessage.replace(FieldSep, ' ');

    QByteArray record;
    for (const QByteArray &field : {"v1" + salt, login, password, fileName, ToDecimal(fileSize), QByteArray("TEXT"),
                                    QByteArray("dosa"), flatMessage}) {
        record += field;
        record += FieldSep;
    }
    return record;
}

QByteArray BuildRequest(const QByteArray &salt, const QByteArray &login, const QByteArray &password,
                        const QByteArray &fileName, int64_t fileSize, const QByteArray &message)
{
    return EncryptToHex(BuildRequestRecord(salt, login, password, fileName, fileSize, message)) + Terminator;
}

int64_t LongestRequestSize(const QByteArray &login, const QByteArray &password, const QByteArray &fileName,
                           int64_t fileSize, const QByteArray &message)
{
    // The record is enciphered in blocks of 8 bytes, each written as 16 hexadecimal digits.
    const int64_t record = BuildRequestRecord("9999999999", login, password, fileName, fileSize, message).size();
    return (record + 7) / 8 * 16 + static_cast<int64_t>(sizeof(Terminator) - 1);
}

bool IsWelcome(const QByteArray &greeting)
{
    return greeting.startsWith("100");
}

QByteArray ReplyCode(const QByteArray &reply)
{
    // The code becomes the row's stored status and its log line: whatever control characters a
    // receiver puts there (the queue file's separators, line breaks) are written out, not kept.
    return EscapeControls(reply.left(3));
}

int64_t ResumeOffset(const QByteArray &reply)
{
    return LeadingInteger(RemoveAll(reply, CR).mid(3));
}

QByteArray AcceptReply(int64_t offset)
{
    return AcceptCode + ToDecimal(offset) + Terminator;
}

QByteArray RefusalReply(const QByteArray &code)
{
    return code + Terminator;
}

bool IsSafeFileName(const QByteArray &name)
{
    if (name.contains('/') || name.contains('\\') || HasControlChars(name))
        return false;
    if (name == "." || name == "..")
        return false;
    const bool drive = name.size() >= 2 && name[1] == ':' &&
                       ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
    return !drive;
}

namespace {

// Reads one field at a time, each ended by a separator; a missing separator ends the reading.
class FieldReader {
public:
    explicit FieldReader(const QByteArray &text) : text_(text) {}

    bool Next(QByteArray &field)
    {
        const qsizetype at = text_.indexOf(FieldSep, pos_);
        if (at < 0)
            return false;
        field = text_.mid(pos_, at - pos_);
        pos_ = at + 1;
        return true;
    }

private:
    const QByteArray &text_;
    qsizetype pos_ = 0;
};

} // namespace

RequestCheck CheckRequest(const QByteArray &buffered, const LoginCheck &loginCheck)
{
    RequestCheck check;
    QByteArray hex = buffered;
    hex.replace('\r', QByteArray()).replace('\n', QByteArray());
    const QByteArray record = DecryptFromHex(hex);
    FieldReader fields(record);

    const auto refuse = [&check](const char *code) -> RequestCheck & {
        check.code = code;
        return check;
    };

    QByteArray field;
    if (!fields.Next(field)) // salt: only its presence matters
        return refuse(BadRequestCode);
    if (!fields.Next(check.login) || !fields.Next(check.password))
        return refuse(BadRequestCode);
    if (!loginCheck || !loginCheck(check.login, check.password))
        return refuse(BadLoginCode);

    if (!fields.Next(field))
        return refuse(BadRequestCode);
    if (IsBlank(field))
        return refuse(BlankNameCode);
    if (!IsSafeFileName(field)) {
        check.unsafeName = true;
        return refuse(BlankNameCode);
    }
    check.fileName = field;

    if (!fields.Next(field))
        return refuse(BadRequestCode);
    const QByteArray size = TrimBlanks(field);
    if (size.isEmpty())
        return refuse(ZeroSizeCode);
    check.announcedSize = LeadingInteger(size);
    if (check.announcedSize < 1)
        return refuse(ZeroSizeCode);

    if (!fields.Next(field) || !fields.Next(field)) // file type and creator: only present
        return refuse(BadRequestCode);
    if (!fields.Next(field))
        return refuse(BadRequestCode);
    check.message = field.replace("\r", "\r\n");
    const QByteArray trimmed = TrimBlanks(check.message);
    check.hasMessage = !trimmed.isEmpty() && trimmed != "\r\n";
    return check;
}

} // namespace Protocol
