// Fuzzes the FTP client's reply reader and reply table with hostile servers: the bytes arrive
// whole and split at points the input chooses (and, when the input asks, repeated past the line
// bound), and the conversation is walked through the reply table as the client walks it. The
// reader must hand on every byte once, in the same lines however the bytes were split, keep at
// most its bound unfinished, and read each reply's code and continuation from its last line; the
// table must answer every code in every state, and the start checks and attempt endings must
// keep their promises on whatever text they get; "226" ends the walk as a success only once the
// page has gone out after STOR. The walk is made in the clear and over TLS: over TLS nothing is
// sent before "234" has started the handshake, the clear walk never asks for TLS, only the TLS
// walk uses passive mode, and a passive reply leads to a data connection only when it names a
// usable port. Broken invariants abort.
#include "dynaddr/FtpRules.h"
#include "FuzzSupport.h"

#include <QByteArrayList>

namespace {

struct Walk {
    QList<QByteArray> lines;  // every complete line, in order
    qsizetype pending = 0;
    bool overflow = false;
    int ended = 0;            // the number of the read whose reply ended the attempt; 0 when none
};

// The client's walk through a conversation: what each final reply makes it do next.
Walk Run(const QByteArray &input, const QList<qsizetype> &cuts, bool tls)
{
    Walk walk;
    FtpReplyReader reader;
    QByteArray expected = "220";
    FtpReplyStep step = FtpReplyStep::None;
    bool pageWritten = false;
    bool encrypted = false;
    qsizetype from = 0;
    int read = 0;
    qsizetype handed = 0;
    QList<qsizetype> ends = cuts;
    ends.append(input.size());
    for (qsizetype cut : ends) {
        ++read;
        const FtpReplyReader::Result r = reader.Feed(QByteArray::fromRawData(input.constData() + from, cut - from));
        from = cut;
        Require(reader.Pending() <= FtpReplyReader::LineLimit);
        for (const QByteArray &line : r.Lines) {
            Require(!line.contains("\r\n"));
            handed += line.size() + 2;
        }
        walk.lines += r.Lines;
        if (r.Overflow) {
            Require(reader.Pending() == 0);
            walk.overflow = true;
            return walk;
        }
        // Nothing is lost or made up: what was handed on and what waits is what came.
        Require(handed + reader.Pending() == from);
        if (r.Lines.isEmpty()) {
            Require(!r.Final && r.Code.isEmpty());
            continue;
        }
        const QByteArray &last = r.Lines.constLast();
        Require(r.Code == last.left(3));
        Require(r.Final == (last.size() < 4 || last[3] != '-'));
        if (!r.Final || walk.ended)
            continue;
        const FtpReplyAction action = DecideFtpReply(last, expected, step, pageWritten, tls);
        // Success only by "226" after the whole page went out, and "226" then always succeeds.
        Require((action == FtpReplyAction::Success) == (r.Code == "226" && pageWritten));
        if (DataMayFlow(r.Code, expected)) {
            Require(action == FtpReplyAction::Ignore);
            // The client writes the page now; the walk takes it as written.
            pageWritten = true;
        }
        using A = FtpReplyAction;
        const bool tlsAction = action == A::SendAuth || action == A::StartTls || action == A::Fail855 ||
                               action == A::SendPbsz || action == A::SendProt || action == A::Fail857 ||
                               action == A::Fail856 || action == A::SendEpsv || action == A::SendPasv ||
                               action == A::ConnectData;
        if (!tls)
            Require(!tlsAction);
        else
            Require(action != A::SendUser && action != A::SendPort && action != A::SendStor);
        // Over TLS only AUTH TLS, its answer and the end of the attempt come before the handshake.
        if (tls && !encrypted)
            Require(action == A::SendAuth || action == A::StartTls || action == A::Fail855 || action == A::Ignore ||
                    action == A::FailWithCode || action == A::Success);
        if (action == A::ConnectData) {
            const std::optional<int> port = PassivePort(last);
            Require(port && *port >= 1 && *port <= 65535);
        }
        switch (action) {
        case FtpReplyAction::SendUser: expected = "331"; break;
        case FtpReplyAction::SendPass: expected = "230"; break;
        case FtpReplyAction::SendPwd: expected = "257"; break;
        case FtpReplyAction::SendType: expected = "200"; step = FtpReplyStep::Type; break;
        case FtpReplyAction::SendPort: expected = "200"; step = FtpReplyStep::Port; break;
        case FtpReplyAction::SendStor: expected = "150"; step = FtpReplyStep::None; break;
        case FtpReplyAction::Ignore: break;
        case FtpReplyAction::SendAuth: expected = "234"; break;
        // The handshake succeeds in the walk and the client sends USER.
        case FtpReplyAction::StartTls: encrypted = true; expected = "331"; break;
        case FtpReplyAction::SendPbsz: expected = "200"; step = FtpReplyStep::Pbsz; break;
        case FtpReplyAction::SendProt: expected = "200"; step = FtpReplyStep::Prot; break;
        case FtpReplyAction::SendEpsv: expected = "229"; step = FtpReplyStep::Epsv; break;
        case FtpReplyAction::SendPasv: expected = "227"; step = FtpReplyStep::Pasv; break;
        // The data connection comes up and the client sends STOR.
        case FtpReplyAction::ConnectData: expected = "150"; step = FtpReplyStep::None; break;
        case FtpReplyAction::Success:
        case FtpReplyAction::FailWithCode:
        case FtpReplyAction::Fail882:
        case FtpReplyAction::Fail855:
        case FtpReplyAction::Fail856:
        case FtpReplyAction::Fail857: walk.ended = read; break;
        default: Require(false);
        }
    }
    walk.pending = reader.Pending();
    return walk;
}

void CheckStart(const QByteArray &bytes)
{
    const QByteArrayList f = bytes.split('\x01');
    if (f.size() < 4)
        return;
    const FtpUrlParts parts = ParseFtpUrl(f[0]);
    Require(parts.Site.isEmpty() || !parts.File.isEmpty());
    Require(parts.File.isEmpty() || parts.File.startsWith('/'));
    Require(!parts.Site.contains('/') && !parts.Site.contains('@'));
    const std::optional<FtpTarget> t = CheckFtpStart(f[0], f[1], f[2], f[3]);
    if (!t)
        return;
    Require(FtpSchemeLength(f[0]) > 0);
    Require(t->Tls == f[0].startsWith("ftpes://"));
    Require(!t->Site.isEmpty() && !t->File.isEmpty() && !t->Login.isEmpty() && !t->Password.isEmpty());
    Require(t->Port >= 1 && t->Port <= 65535);
    for (const QByteArray *text : {&t->Login, &t->Password, &t->File})
        Require(!text->contains('\r') && !text->contains('\n'));
}

void CheckFinish(const QByteArray &code, int attempt, int limit)
{
    const FtpFinish f = DecideFtpFinish(code, attempt, limit);
    Require(!f.Diagnostics.isEmpty());
    Require((f.Ending == FtpEnding::Aborted) == (code == "884"));
    Require((f.Ending == FtpEnding::Done) == (code == "852"));
    if (f.Ending == FtpEnding::Retry)
        Require(attempt + 1 <= limit && code != "803" && code != "809" && code != "221" && f.Code != "550" &&
                code != "855" && code != "856" && code != "857");
    if (f.Ending == FtpEnding::Failed)
        Require(f.Code != "553" && f.Code.isEmpty() == code.isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte chooses the splitting and whether the text is repeated past the line bound.
    const uint8_t mode = data[0];
    QByteArray input = InputBytes(data + 1, size - 1);
    const bool repeated = (mode & 0xC0) == 0xC0;
    if (repeated)
        input = input.repeated(FtpReplyReader::LineLimit / input.size() + 2);

    QList<qsizetype> cuts;
    // Past the line bound the pieces are large, so that a run stays quick.
    const qsizetype stride = (1 + (mode & 0x3F)) * (repeated ? 1024 : 1);
    if (mode & 0x40) {
        for (qsizetype at = stride; at < input.size(); at += stride)
            cuts << at;
    } else {
        // Cuts at the positions the input's own bytes name.
        qsizetype at = 0;
        for (qsizetype i = 0; i < input.size() && at < input.size(); ++i) {
            at += 1 + static_cast<uint8_t>(input[i]) % (stride * 4);
            if (at < input.size())
                cuts << at;
        }
    }

    for (const bool tls : {false, true}) {
        const Walk whole = Run(input, {}, tls);
        const Walk split = Run(input, cuts, tls);
        if (!whole.overflow && !split.overflow) {
            // However the bytes came, the same lines and the same unfinished rest.
            Require(whole.lines == split.lines);
            Require(whole.pending == split.pending);
        }
    }
    // Whatever the line, a passive port is a usable one.
    if (const std::optional<int> port = PassivePort(input.left(256)))
        Require(*port >= 1 && *port <= 65535);

    CheckStart(input.left(4096));
    const int attempt = 1 + (mode & 0x03);
    const int limit = (mode >> 2) & 0x07;
    CheckFinish(input.left(3), attempt, limit);
    if (!input.isEmpty())
        CheckFinish(QByteArray::number(static_cast<uint8_t>(input[0]) + 800), attempt, limit);
    return 0;
}
