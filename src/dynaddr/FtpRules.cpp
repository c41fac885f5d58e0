// The FTP client's plain decisions.
#include "dynaddr/FtpRules.h"

#include "core/TextUtil.h"

#include <QByteArrayView>
#include <algorithm>
#include <cctype>

qsizetype FtpSchemeLength(const QByteArray &url)
{
    for (const QByteArrayView scheme : {QByteArrayView(FtpScheme), QByteArrayView(FtpesScheme)})
        if (url.startsWith(scheme))
            return scheme.size();
    return 0;
}

FtpUrlParts ParseFtpUrl(const QByteArray &url)
{
    FtpUrlParts parts;
    const qsizetype scheme = FtpSchemeLength(url);
    if (scheme == 0)
        return parts;
    const QByteArray rest = url.mid(scheme);
    const qsizetype slash = rest.indexOf('/');
    if (slash < 0)
        return parts;
    QByteArray site = rest.left(slash);
    parts.File = rest.mid(slash);
    // A host never holds an at sign, a password may: the user information ends at the last one.
    const qsizetype at = site.lastIndexOf('@');
    if (at >= 0) {
        const QByteArray user = site.left(at);
        site = site.mid(at + 1);
        const qsizetype colon = user.indexOf(':');
        if (colon >= 0) {
            parts.Login = user.left(colon);
            if (colon + 1 < user.size())
                parts.Password = user.mid(colon + 1);
        }
    }
    const qsizetype colon = site.indexOf(':');
    if (colon >= 0) {
        if (colon + 1 < site.size())
            parts.Port = site.mid(colon + 1);
        site = site.left(colon);
    }
    parts.Site = site;
    parts.Tls = scheme == QByteArrayView(FtpesScheme).size();
    return parts;
}

std::optional<FtpTarget> CheckFtpStart(const QByteArray &url, const QByteArray &login, const QByteArray &password,
                                       const QByteArray &portText)
{
    if (url.isEmpty())
        return std::nullopt;
    const FtpUrlParts parts = ParseFtpUrl(url);
    FtpTarget target;
    target.Site = parts.Site;
    target.Tls = parts.Tls;
    target.Login = parts.Login.value_or(login);
    target.Password = parts.Password.value_or(password);
    target.PortText = parts.Port.value_or(portText);
    if (target.Login.isEmpty() || target.Password.isEmpty() || url.startsWith("http://"))
        return std::nullopt;
    const int64_t port = LeadingInteger(target.PortText, -1, 65536);
    if (!IsValidPort(port) || parts.File.isEmpty() || parts.Site.isEmpty())
        return std::nullopt;
    target.Port = static_cast<int>(port);
    target.File = parts.File.mid(1);
    if (target.File.isEmpty())
        return std::nullopt;
    // Each of these goes out as part of one command line.
    for (const QByteArray *text : {&target.Login, &target.Password, &target.File})
        if (text->contains('\r') || text->contains('\n'))
            return std::nullopt;
    return target;
}

int AdvanceDataPort(int counter, int listenPort)
{
    int port = counter + 1;
    if (port >= 2000)
        port = 1002;
    else if (port == 1080)
        port = 1082;
    else if (port == 1417)
        port = 1445;
    if (port == listenPort)
        port += 2;
    return port;
}

std::optional<int> PickDataPort(int &counter, int listenPort, const std::function<bool(int port)> &tryListen)
{
    for (int tries = 0; tries <= DataPortSkips; ++tries) {
        counter = AdvanceDataPort(counter, listenPort);
        if (UsableDataPort(counter) && tryListen(counter))
            return counter;
    }
    return std::nullopt;
}

QByteArray PortArgument(quint32 ipv4, int port)
{
    QByteArray text;
    for (int shift = 24; shift >= 0; shift -= 8)
        text += QByteArray::number((ipv4 >> shift) & 0xFF) + ',';
    return text + QByteArray::number(port / 256) + ',' + QByteArray::number(port % 256);
}

FtpReplyAction DecideFtpReply(const QByteArray &finalLine, const QByteArray &expected, FtpReplyStep step,
                              bool pageWritten, bool tls)
{
    using A = FtpReplyAction;
    using S = FtpReplyStep;
    const QByteArray code = finalLine.left(3);
    if (code == "226" && pageWritten && expected == "150")
        return A::Success;
    if (expected == "220" && code == "220")
        return tls ? A::SendAuth : A::SendUser;
    // Nothing but "234" lets the login go on: never a fall back to clear text.
    if (expected == "234")
        return code == "234" ? A::StartTls : A::Fail855;
    if (expected == "331")
        return code == "331" ? A::SendPass : A::FailWithCode;
    if (expected == "230" && code == "230")
        return tls ? A::SendPbsz : A::SendPwd;
    if (expected == "200" && step == S::Pbsz)
        return code == "200" ? A::SendProt : A::Fail857;
    if (expected == "200" && step == S::Prot)
        return code == "200" ? A::SendPwd : A::Fail857;
    if (expected == "257")
        return A::SendType;
    if (expected == "200" && step == S::Type)
        return code != "200" ? A::Fail882 : tls ? A::SendEpsv : A::SendPort;
    if (expected == "200" && step == S::Port)
        return code == "200" ? A::SendStor : A::Fail882;
    if (expected == "229" && step == S::Epsv)
        return code == "229" && PassivePort(finalLine) ? A::ConnectData : A::SendPasv;
    if (expected == "227" && step == S::Pasv)
        return code == "227" && PassivePort(finalLine) ? A::ConnectData : A::Fail882;
    if (tls && expected == "150" && code == "522")
        return A::Fail856;
    return LeadingNumber(code) >= 400 ? A::FailWithCode : A::Ignore;
}

std::optional<int> PassivePort(const QByteArray &line)
{
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    // Digits from at, at most five, as a number; at moves past them. None without a digit.
    const auto number = [&](qsizetype &at) -> std::optional<int> {
        int value = 0;
        const qsizetype from = at;
        while (at < line.size() && digit(line[at]) && at - from < 5)
            value = value * 10 + (line[at++] - '0');
        if (at == from || (at < line.size() && digit(line[at])))
            return std::nullopt;
        return value;
    };
    if (line.startsWith("229")) {
        qsizetype at = line.indexOf('(', 3);
        if (at < 0 || at + 5 > line.size())
            return std::nullopt;
        const char d = line[at + 1];
        if (d < '!' || d > '~' || digit(d) || line[at + 2] != d || line[at + 3] != d)
            return std::nullopt;
        at += 4;
        const std::optional<int> port = number(at);
        if (!port || at + 1 >= line.size() || line[at] != d || line[at + 1] != ')' || !IsValidPort(*port))
            return std::nullopt;
        return port;
    }
    if (line.startsWith("227")) {
        qsizetype at = 3;
        while (at < line.size() && !digit(line[at]))
            ++at;
        int values[6] = {};
        for (int i = 0; i < 6; ++i) {
            if (i > 0) {
                if (at >= line.size() || line[at] != ',')
                    return std::nullopt;
                ++at;
            }
            const std::optional<int> value = number(at);
            if (!value || *value > 255)
                return std::nullopt;
            values[i] = *value;
        }
        const int port = values[4] * 256 + values[5];
        if (!IsValidPort(port))
            return std::nullopt;
        return port;
    }
    return std::nullopt;
}

bool DataMayFlow(const QByteArray &code, const QByteArray &expected)
{
    return expected == "150" && code.size() == 3 && code[0] == '1' && std::isdigit(static_cast<unsigned char>(code[1])) &&
           std::isdigit(static_cast<unsigned char>(code[2]));
}

FtpReplyReader::Result FtpReplyReader::Feed(const QByteArray &data)
{
    Result result;
    // What was kept holds no CR LF: only the new bytes (and a CR just before them) can end a line.
    const qsizetype from = std::max<qsizetype>(0, buffer_.size() - 1);
    buffer_ += data;
    qsizetype end = QByteArrayView(buffer_).sliced(from).lastIndexOf("\r\n");
    if (end >= 0)
        end += from;
    if (end >= 0) {
        const QByteArray complete = buffer_.left(end);
        buffer_.remove(0, end + 2);
        qsizetype start = 0;
        for (;;) {
            const qsizetype at = complete.indexOf("\r\n", start);
            if (at < 0) {
                result.Lines.append(complete.mid(start));
                break;
            }
            result.Lines.append(complete.mid(start, at - start));
            start = at + 2;
        }
        const QByteArray &last = result.Lines.constLast();
        result.Code = last.left(3);
        result.Final = last.size() < 4 || last[3] != '-';
    }
    if (buffer_.size() > LineLimit) {
        result.Overflow = true;
        buffer_.clear();
    }
    return result;
}

QByteArray FtpWordText(FtpWord word)
{
    switch (word) {
    case FtpWord::Go: return "GO";
    case FtpWord::Disk: return "DISK";
    case FtpWord::Retry: return "RETRY";
    case FtpWord::Done: return "DONE";
    case FtpWord::Error: return "ERROR";
    case FtpWord::Abort: return "ABORT";
    }
    return {};
}

QByteArray FormatFtpRecord(const FtpRecord &record)
{
    return "FTPFTP\\" + FtpWordText(record.Word) + '\\' + record.Code + "\\\r";
}

FtpFinish DecideFtpFinish(const QByteArray &statusCode, int attemptNumber, int retryLimit)
{
    FtpFinish f;
    QByteArray code = statusCode;
    if (code == "884") {
        f.Diagnostics << "* !!! Aborted by user";
        f.Ending = FtpEnding::Aborted;
        f.Code = code;
        return f;
    }
    f.Diagnostics << "* Internal Status = " + code;
    if (code == "852") {
        f.Diagnostics << "* !!! File Sent ";
        f.Ending = FtpEnding::Done;
        f.Code = "802";
        return f;
    }
    if (code == "553")
        code = "550";
    if (code == "221")
        f.Diagnostics << "* !!! Aborted by user";
    else if (code == "530")
        f.Diagnostics << "* !!! Login Incorrect";
    else if (code == "855")
        f.Diagnostics << "* !!! Server refused AUTH TLS";
    else if (code == "856")
        f.Diagnostics << "* !!! TLS handshake or certificate failed";
    else if (code == "857")
        f.Diagnostics << "* !!! Server refused PBSZ or PROT";
    f.Code = code;
    f.Ending = FtpEnding::Failed;
    if (attemptNumber + 1 > retryLimit) {
        f.Diagnostics << "* !!! Retry Limit Reached ";
        return f;
    }
    if (code == "803" || code == "853")
        f.Diagnostics << "* !!! Domain not found";
    else if (code == "550")
        f.Diagnostics << "* !!! Remote File Not Found";
    // A server without TLS, or with a certificate that fails, does not change in a minute.
    if (code == "221" || code == "550" || code == "803" || code == "809" || code == "855" || code == "856" ||
        code == "857")
        return f;
    if (code == "851")
        f.Diagnostics << "* OT doesn't like the port! - restarting";
    else if (code == "801")
        f.Diagnostics << "* Control connect rejected - restarting";
    else if (code == "813")
        f.Diagnostics << "* Control Timeout - restarting";
    else if (code == "812")
        f.Diagnostics << "* Data Timeout - restarting";
    f.Ending = FtpEnding::Retry;
    return f;
}

QByteArray FtpDiagnosticText(const QByteArray &code)
{
    if (code == "899")
        return "User Abort";
    if (code == "884")
        return "Abort";
    if (code == "803")
        return "Domain not found";
    if (code == "801")
        return "Connection refused";
    if (code == "530")
        return "Incorrect Login";
    if (code == "855")
        return "AUTH TLS refused";
    if (code == "856")
        return "TLS handshake or certificate failure";
    if (code == "857")
        return "PBSZ/PROT refused";
    return {};
}
