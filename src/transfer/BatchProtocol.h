// Several files over one connection, as plain functions. A receiver that takes batches adds the
// word "BATCH" to its welcome; a sender that sees it may send "BATCH n" + terminator followed by
// n ordinary requests, each with its terminator. The receiver answers with n ordinary replies in
// order, then takes the remainders of the accepted files in the same order, concatenated with no
// framing (each one announced size minus its offset long).
#pragma once

#include <QByteArray>
#include <QList>
#include <cstdint>

namespace BatchProtocol {

inline constexpr char OfferWord[] = "BATCH";
inline constexpr int MaxFiles = 256;
inline constexpr int64_t MaxSize = 1 << 20; // the whole batch: header and every request

// True when a welcome ("100 ...") carries the word BATCH among its words, in any position.
bool OffersBatch(const QByteArray &welcome);
// The welcome with an offer word added before its terminator, once.
QByteArray WithOffer(const QByteArray &welcome, const QByteArray &word);

// "BATCH n" + terminator + the requests (each already ending with its terminator); empty when
// there are none, more than MaxFiles, or the whole would exceed MaxSize.
QByteArray BuildBatch(const QList<QByteArray> &requests);

// What the receiver makes of the bytes buffered since its welcome. NotBatch as soon as they can
// no longer begin a batch (an ordinary request then); Bad for a malformed count, a count outside
// 1..MaxFiles, or a batch longer than MaxSize. On Complete, requests holds the n requests with
// their terminators and consumed the bytes they took; bytes after them are left alone.
enum class Framing { Incomplete, NotBatch, Complete, Bad };
struct Frame {
    Framing framing = Framing::Incomplete;
    QList<QByteArray> requests;
    int64_t consumed = 0;
};
Frame FrameBatch(const QByteArray &buffered);

// The sender's side of the replies: the complete replies at the front of buffered, at most
// expected of them, each with its terminator, and the bytes they took.
struct Replies {
    QList<QByteArray> replies;
    int64_t consumed = 0;
};
Replies SplitReplies(const QByteArray &buffered, int expected);

// How long the remainder of one accepted file is: announced size minus offset, never negative.
int64_t RemainderLength(int64_t announcedSize, int64_t offset);

} // namespace BatchProtocol
