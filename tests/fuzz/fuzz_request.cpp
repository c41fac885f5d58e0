// Fuzzes the receiver's request check and the sender's reply reading with hostile bytes.
// Raw input exercises the hex layer; the same bytes enciphered reach the field reader with
// a deciphered text the attacker chose. The request cap is checked over arrivals: the raw input
// arrives in pieces cut at every byte 0xFF (which no request holds), the enciphered form in
// pieces of 1460 bytes, and either way the answer must be the one for the whole; the same holds
// for a batch of requests, the raw input read as one and two enciphered requests sent as one.
// Broken invariants abort so the fuzzer reports them. Seeds are in tests/fuzz/seeds.
#include "core/Cipher.h"
#include "core/TextUtil.h"
#include "transfer/BatchProtocol.h"
#include "transfer/Protocol.h"
#include "FuzzSupport.h"

#include <QByteArrayList>

using namespace Protocol;

namespace {

void CheckInvariants(const RequestCheck &check)
{
    static const QByteArray codes[] = {"", "401", "402", "403", "404"};
    bool known = false;
    for (const QByteArray &code : codes)
        known = known || check.code == code;
    Require(known);
    Require(!check.unsafeName || check.code == "403");
    if (check.code.isEmpty()) {
        Require(check.announcedSize >= 1);
        Require(!IsBlank(check.fileName) && IsSafeFileName(check.fileName));
        Require(!HasControlChars(check.fileName));
        Require(!check.message.contains('\x01'));
    }
}

void Exercise(const QByteArray &wire)
{
    const LoginCheck everybody = [](const QByteArray &, const QByteArray &) { return true; };
    CheckInvariants(CheckRequest(wire, everybody));
    CheckInvariants(CheckRequest(wire, LoginCheck()));
}

// The receiver's framing decision as arrivals come in equals the decision for the whole.
void CheckFraming(const QByteArrayList &arrivals)
{
    const QByteArray stream = arrivals.join();
    const RequestFraming whole = FrameRequest(stream);
    const qsizetype end = stream.indexOf(Terminator);
    if (whole == RequestFraming::Complete)
        Require(end >= 0 && end + 2 <= MaxRequestSize);
    else
        Require(end < 0 || end + 2 > MaxRequestSize);
    Require((whole == RequestFraming::TooLong) == (whole != RequestFraming::Complete && stream.size() >= MaxRequestSize));
    QByteArray buffered;
    for (const QByteArray &arrival : arrivals) {
        buffered += arrival;
        const RequestFraming sofar = FrameRequest(buffered);
        if (sofar != RequestFraming::Incomplete) {
            Require(sofar == whole);
            return;
        }
    }
    Require(whole == RequestFraming::Incomplete);
}

// The same for a batch: the decision as arrivals come in is the one for the whole, and a complete
// batch holds its count of requests, each whole and within the request cap, the batch within its
// own cap, with nothing of the bytes after it taken.
void CheckBatchFraming(const QByteArrayList &arrivals)
{
    using BatchProtocol::Framing;
    const QByteArray stream = arrivals.join();
    const BatchProtocol::Frame whole = BatchProtocol::FrameBatch(stream);
    const QByteArray header = QByteArray(BatchProtocol::OfferWord) + ' ';
    Require((whole.framing == Framing::NotBatch) == !header.startsWith(stream.left(header.size())));
    Require(whole.framing == Framing::Complete || whole.requests.isEmpty());
    if (whole.framing == Framing::Complete) {
        Require(!whole.requests.isEmpty() && whole.requests.size() <= BatchProtocol::MaxFiles);
        Require(whole.consumed <= BatchProtocol::MaxSize && whole.consumed <= stream.size());
        qsizetype at = stream.indexOf(Terminator) + 2;
        for (const QByteArray &request : whole.requests) {
            Require(request.size() <= MaxRequestSize && request.indexOf(Terminator) == request.size() - 2);
            Require(stream.mid(at, request.size()) == request);
            at += request.size();
        }
        Require(at == whole.consumed);
    }
    QByteArray buffered;
    for (const QByteArray &arrival : arrivals) {
        buffered += arrival;
        const BatchProtocol::Frame sofar = BatchProtocol::FrameBatch(buffered);
        if (sofar.framing != Framing::Incomplete) {
            Require(sofar.framing == whole.framing);
            Require(sofar.requests == whole.requests && sofar.consumed == whole.consumed);
            return;
        }
    }
    Require(whole.framing == Framing::Incomplete);
}

QByteArrayList Pieces(const QByteArray &bytes, qsizetype size)
{
    QByteArrayList pieces;
    for (qsizetype at = 0; at < bytes.size(); at += size)
        pieces << bytes.mid(at, size);
    return pieces;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = InputBytes(data, size);

    const QByteArray enciphered = EncryptToHex(bytes) + Terminator;
    Exercise(bytes);
    Exercise(enciphered);
    CheckFraming(bytes.split('\xFF'));
    CheckFraming(Pieces(enciphered, 1460));
    CheckBatchFraming(bytes.split('\xFF'));
    CheckBatchFraming(Pieces("BATCH 2\r\r" + enciphered + enciphered, 1460));

    (void)HasTerminator(bytes);
    (void)IsWelcome(bytes);
    // The code becomes a stored queue field: no byte of the queue file's framing or a line break.
    for (char c : ReplyCode(bytes))
        Require(static_cast<unsigned char>(c) >= 0x20 && c != '\x7F');
    (void)ResumeOffset(bytes);
    (void)IsSafeFileName(bytes);

    // Whatever the fields, a request the sender builds must either come back with the same
    // values or be refused for a reason the fields explain.
    const QByteArrayList parts = bytes.split('\x01');
    if (parts.size() >= 4) {
        const QByteArray &name = parts[1];
        const int64_t fileSize = LeadingInteger(parts[2], 0, INT64_MAX / 2);
        const RequestCheck check =
            CheckRequest(BuildRequest(RandomDigits(), "u", parts[0], name, fileSize, parts[3]),
                         [&](const QByteArray &l, const QByteArray &p) { return l == "u" && p == parts[0]; });
        if (IsBlank(name) || !IsSafeFileName(name)) {
            Require(check.code == "403");
        } else if (fileSize < 1) {
            Require(check.code == "404");
        } else {
            Require(check.code.isEmpty());
            Require(check.fileName == name && check.announcedSize == fileSize);
            Require(check.message == QByteArray(parts[3]).replace("\r", "\r\n"));
        }
    }
    return 0;
}
