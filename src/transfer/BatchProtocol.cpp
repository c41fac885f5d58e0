#include "transfer/BatchProtocol.h"

#include "transfer/Protocol.h"

#include <algorithm>

namespace BatchProtocol {

namespace {
const QByteArray kTerm(Protocol::Terminator);
const QByteArray kHeader = QByteArray(OfferWord) + ' ';
} // namespace

bool OffersBatch(const QByteArray &welcome) {
    if (!Protocol::IsWelcome(welcome))
        return false;
    QByteArray words = welcome;
    words.replace('\r', ' ').replace('\n', ' ');
    for (const QByteArray &w : words.split(' '))
        if (w == OfferWord)
            return true;
    return false;
}

QByteArray WithOffer(const QByteArray &welcome, const QByteArray &word) {
    QByteArray body = welcome.endsWith(kTerm) ? welcome.left(welcome.size() - kTerm.size()) : welcome;
    for (const QByteArray &w : body.split(' '))
        if (w == word)
            return welcome;
    return body + ' ' + word + kTerm;
}

QByteArray BuildBatch(const QList<QByteArray> &requests) {
    if (requests.isEmpty() || requests.size() > MaxFiles)
        return {};
    QByteArray out = kHeader + QByteArray::number(requests.size()) + kTerm;
    for (const QByteArray &r : requests)
        out += r;
    return out.size() > MaxSize ? QByteArray() : out;
}

Frame FrameBatch(const QByteArray &buffered) {
    Frame f;
    const qsizetype common = std::min(buffered.size(), kHeader.size());
    if (buffered.left(common) != kHeader.left(common)) {
        f.framing = Framing::NotBatch;
        return f;
    }
    const qsizetype headEnd = buffered.indexOf(kTerm);
    if (headEnd < 0) {
        // "BATCH " + at most three digits + terminator: anything else already decides it bad.
        QByteArray tail = buffered.mid(kHeader.size());
        if (tail.endsWith('\r'))
            tail.chop(1);
        bool digitsSoFar = tail.size() <= 3;
        for (char c : tail)
            digitsSoFar = digitsSoFar && c >= '0' && c <= '9';
        f.framing = digitsSoFar ? Framing::Incomplete : Framing::Bad;
        return f;
    }
    const QByteArray digits = buffered.mid(kHeader.size(), headEnd - kHeader.size());
    bool ok = !digits.isEmpty() && digits.size() <= 3;
    for (char c : digits)
        ok = ok && c >= '0' && c <= '9';
    const int n = ok ? digits.toInt() : 0;
    if (n < 1 || n > MaxFiles) {
        f.framing = Framing::Bad;
        return f;
    }
    qsizetype at = headEnd + kTerm.size();
    while (f.requests.size() < n) {
        const qsizetype end = buffered.indexOf(kTerm, at);
        const qsizetype limit = end < 0 ? buffered.size() : end + kTerm.size();
        const bool tooLong = end < 0 ? limit - at >= Protocol::MaxRequestSize : limit - at > Protocol::MaxRequestSize;
        if (limit > MaxSize || tooLong) {
            f.framing = Framing::Bad;
            f.requests.clear();
            return f;
        }
        if (end < 0) {
            f.requests.clear();
            return f; // Incomplete
        }
        f.requests.append(buffered.mid(at, limit - at));
        at = limit;
    }
    f.framing = Framing::Complete;
    f.consumed = at;
    return f;
}

Replies SplitReplies(const QByteArray &buffered, int expected) {
    Replies r;
    qsizetype at = 0;
    while (r.replies.size() < expected) {
        const qsizetype end = buffered.indexOf(kTerm, at);
        if (end < 0)
            break;
        r.replies.append(buffered.mid(at, end + kTerm.size() - at));
        at = end + kTerm.size();
    }
    r.consumed = at;
    return r;
}

int64_t RemainderLength(int64_t announcedSize, int64_t offset) {
    return offset >= announcedSize ? 0 : announcedSize - std::max<int64_t>(offset, 0);
}

} // namespace BatchProtocol
