// The address lookup's HTTP exchange as plain code.
#include "dynaddr/HttpResponse.h"

#include "core/Limits.h"
#include "core/TextUtil.h"
#include "dynaddr/UrlMask.h"

#include <algorithm>

namespace {

constexpr char CrLf[] = "\r\n";

QByteArrayList SplitAt(const QByteArray &text, const QByteArray &separator)
{
    QByteArrayList fields;
    qsizetype from = 0;
    for (qsizetype at; (at = text.indexOf(separator, from)) >= 0; from = at + separator.size())
        fields.append(text.mid(from, at - from));
    fields.append(text.mid(from));
    return fields;
}

// A chunk-size line: hexadecimal digits only, at least one. Large values saturate, since no
// chunk can be longer than the text that holds it.
std::optional<qint64> PlainHex(QByteArrayView line)
{
    if (line.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (char c : line) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            return std::nullopt;
        value = std::min<qint64>(value * 16 + digit, qint64(1) << 40);
    }
    return value;
}

} // namespace

int HttpUrl::Port() const
{
    const int64_t port = LeadingInteger(PortText, 0, 65536);
    return IsValidPort(port) ? static_cast<int>(port) : 0;
}

std::optional<HttpUrl> ParseHttpUrl(const QByteArray &url)
{
    if (url.size() < 7)
        return std::nullopt;
    HttpUrl parts;
    qsizetype skip = 7;
    if (url.left(8).compare("https://", Qt::CaseInsensitive) == 0) {
        parts.Tls = true;
        parts.PortText = "443";
        skip = 8;
    }
    QByteArray rest = url.mid(skip);
    if (!rest.contains('/'))
        rest += '/';
    const qsizetype slash = rest.indexOf('/');
    parts.Host = rest.left(slash);
    parts.Path = rest.mid(slash);
    const qsizetype at = parts.Host.indexOf('@');
    if (at >= 0)
        parts.Host = parts.Host.mid(at + 1);
    const qsizetype colon = parts.Host.indexOf(':');
    if (colon >= 0) {
        const QByteArray port = parts.Host.mid(colon + 1);
        if (!port.isEmpty())
            parts.PortText = port;
        parts.Host = parts.Host.left(colon);
    }
    return parts;
}

QByteArrayList HttpRequestLines(const HttpUrl &url)
{
    QByteArrayList lines = {
        "GET " + url.Path + " HTTP/1.1",
        "Host: " + url.Host,
        "Accept: */*",
        "Cache-Control: max-age=0",
        "Pragma: no-cache",
        "Connection: close",
        "User-Agent: Parcelwise/1.0",
        "Referer: http://" + url.Host + "/",
        "",
    };
    for (QByteArray &line : lines)
        line += CrLf;
    return lines;
}

std::optional<QByteArray> DecodeChunked(const QByteArray &text, bool *complete)
{
    if (complete)
        *complete = false;
    if (text.size() < 5)
        return QByteArray();
    if (!text.endsWith("\r\n\r\n") || !text.left(15).contains(CrLf))
        return text;
    const QByteArrayView view(text);
    qsizetype at = text.indexOf(CrLf);
    std::optional<qint64> size = PlainHex(view.first(at));
    if (!size)
        return std::nullopt;
    qsizetype pos = at + 2;
    QByteArray result;
    if (*size < 1) {
        // The last chunk alone: an empty body.
        if (complete)
            *complete = true;
        return result;
    }
    for (;;) {
        const qsizetype take = static_cast<qsizetype>(std::min<qint64>(*size, text.size() - pos));
        result.append(view.sliced(pos, take));
        pos += take;
        if (view.sliced(pos).startsWith(CrLf))
            pos += 2;
        at = text.indexOf(CrLf, pos);
        if (at < 0)
            break;
        size = PlainHex(view.sliced(pos, at - pos));
        if (!size)
            return std::nullopt;
        if (*size < 1) {
            if (complete)
                *complete = true;
            break;
        }
        pos = at + 2;
    }
    return result;
}

void HttpResponseReader::Diagnose(const QByteArray &line)
{
    if (diagnostics_.size() >= DiagnosticsLimit)
        diagnostics_ = " ";
    diagnostics_ += line + CrLf;
}

void HttpResponseReader::Begin(const QByteArray &url)
{
    *this = HttpResponseReader();
    running_ = true;
    words_.append("START");
    url_ = ParseHttpUrl(url);
    Diagnose("* Trying to connect");
    Diagnose(MaskUrlPassword(url));
}

QByteArrayList HttpResponseReader::Connected()
{
    body_.clear();
    headersDone_ = false;
    chunked_ = false;
    delimiter_ = "\n";
    searchedTo_ = breakScannedTo_ = 0;
    firstBreak_ = -1;
    Diagnose("* Connected");
    words_.append("CONNECT");
    return url_ ? HttpRequestLines(*url_) : QByteArrayList();
}

bool HttpResponseReader::Data(const QByteArray &bytes)
{
    if (!running_)
        return false;
    received_ += bytes.size();
    body_ += bytes;
    if (socketStatus_ == NotHtml) {
        body_.clear();
        return false;
    }
    if (received_ > ResponseLimit) {
        body_.clear();
        Diagnose("* Response Too Large");
        socketStatus_ = TooLarge;
        return false;
    }
    if (headersDone_)
        return true;

    // The server's line break: the first CR or LF, with a CR or LF right after it as its second
    // character. It can only change while the first break is the last byte so far, and then no
    // doubled break lies in the text yet, so the search for the end of the headers goes on from
    // where the last one stopped.
    for (; firstBreak_ < 0 && breakScannedTo_ < body_.size(); ++breakScannedTo_) {
        if (body_[breakScannedTo_] == '\r' || body_[breakScannedTo_] == '\n')
            firstBreak_ = breakScannedTo_;
    }
    const qsizetype first = firstBreak_;
    if (first < 0)
        return true;
    delimiter_ = QByteArray(1, body_[first]);
    if (first + 1 < body_.size() && (body_[first + 1] == '\r' || body_[first + 1] == '\n'))
        delimiter_ += body_[first + 1];
    const QByteArray doubled = delimiter_ + delimiter_;
    const qsizetype end = body_.indexOf(doubled, std::max<qsizetype>(first, searchedTo_ - 3));
    if (end < 0) {
        searchedTo_ = body_.size();
        return true;
    }

    words_.append("DATA");
    headerBlock_ = body_.left(end + doubled.size());
    Diagnose("* Got Page Headers");
    body_.remove(0, headerBlock_.size());
    headersDone_ = true;
    socketStatus_ = HeadersIn;
    ReadHeaders();
    if (!IsHtml()) {
        body_.clear();
        Diagnose("* Not HTML");
        socketStatus_ = NotHtml;
        return false;
    }
    return true;
}

void HttpResponseReader::ReadHeaders()
{
    const QByteArrayList lines = SplitAt(headerBlock_, delimiter_);
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        if (line.startsWith("HTTP")) {
            const QByteArray code = NthField(line, " ", 2);
            socketStatus_ = code;
            httpStatus_ = RemoveAll(code, ' ');
        }
        if (line.contains("chunked"))
            chunked_ = true;
        if (line.size() >= 15 && line.left(15).compare("Content-Length:", Qt::CaseInsensitive) == 0) {
            const QByteArray value = TrimBlanks(line.mid(15));
            bool number = !value.isEmpty() && value.size() <= 15;
            for (char c : value)
                number = number && c >= '0' && c <= '9';
            const qint64 length = number ? value.toLongLong() : -1;
            if (!number || (contentLength_ >= 0 && contentLength_ != length))
                badLength_ = true;
            contentLength_ = length;
        }
    }
}

// Header names are compared without regard to case, as HTTP defines them; the value is still
// searched for "html" as it stands.
bool HttpResponseReader::IsHtml() const
{
    for (const QByteArray &line : SplitAt(headerBlock_, delimiter_)) {
        if (line.size() >= 13 && line.left(13).compare("Content-Type:", Qt::CaseInsensitive) == 0 &&
            line.contains("html"))
            return true;
    }
    return false;
}

void HttpResponseReader::ServerClosed()
{
    socketStatus_ = Closed;
}

void HttpResponseReader::SocketError(int errorNumber)
{
    socketStatus_ = " " + QByteArray::number(errorNumber);
    Diagnose("* Socket Code " + socketStatus_);
}

void HttpResponseReader::Silence()
{
    socketStatus_ = TimedOut;
    Diagnose("* Timeout");
}

void HttpResponseReader::TookTooLong(int seconds)
{
    socketStatus_ = Overdue;
    Diagnose("* Lookup longer than " + QByteArray::number(seconds) + " seconds");
}

bool HttpResponseReader::TakeWholeBody()
{
    // Chunks carry their own framing; a length beside them does not count.
    if (chunked_) {
        chunked_ = false;
        bool complete = false;
        const std::optional<QByteArray> joined = DecodeChunked(body_, &complete);
        if (!joined)
            Diagnose("* Bad Chunk Size");
        body_ = joined.value_or(QByteArray());
        return !joined || complete;
    }
    if (badLength_) {
        Diagnose("* Bad Content-Length");
        return false;
    }
    if (contentLength_ < 0)
        return true;
    if (body_.size() < contentLength_)
        return false;
    body_.truncate(contentLength_);
    return true;
}

QByteArray HttpResponseReader::End()
{
    if (!running_)
        return page_;
    if (socketStatus_ == TimedOut) {
        Diagnose("* Timeout");
        words_.append("ERR881");
    }
    // The server's close ends the body; whether all of it came, the framing says.
    if (!TakeWholeBody() && socketStatus_ == Closed && headersDone_) {
        Diagnose("* Page Cut Short");
        socketStatus_ = CutShort;
    }
    Diagnose("* Socket Status = " + socketStatus_);
    Diagnose("* HTTP Status = " + httpStatus_);
    running_ = false;
    if (!IsHtml()) {
        Diagnose("* Not HTML");
        body_.clear();
    }
    if (IsBlank(body_))
        Diagnose("* Blank Page");
    if (httpStatus_ != "200" && httpStatus_ != "206") {
        words_.append("ERR882");
        Diagnose("* Bad HTTP Status");
        body_.clear();
    }
    if (socketStatus_ != Closed) {
        words_.append("ERR880");
        Diagnose("* Socket Error");
        body_.clear();
    }
    Diagnose(body_);
    page_ = body_;
    body_.clear();
    words_.append("DONE");
    return page_;
}
