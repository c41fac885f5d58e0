// The plain parts of the address lookup's HTTP client: the URL split, the request lines, the
// response reader with its ending, and the removal of chunked framing. No sockets here: the
// client (HttpLookup) feeds the reader what its socket reports and acts on the answers.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <optional>

// A page URL split into where to connect and what to ask for.
struct HttpUrl {
    bool Tls = false;          // the URL begins with "https://"
    QByteArray Host;           // without user information and port
    QByteArray PortText = "80"; // "443" for https unless the URL names a port
    QByteArray Path = "/";
    // The numeric value of the port text; 0 when it is no usable port (0 or above 65535).
    int Port() const;
    bool operator==(const HttpUrl &) const = default;
};

// Skips the scheme ("http://", 7 characters, not examined; "https://", 8), takes the host up to
// the first "/" and the path from it, drops user information up to the first "@" and takes a
// port after the first ":". None for a URL shorter than 7 characters.
std::optional<HttpUrl> ParseHttpUrl(const QByteArray &url);

// The request, one line per element, each ended by CR LF, the empty line last.
QByteArrayList HttpRequestLines(const HttpUrl &url);

// Removes chunked framing from a complete body. A text shorter than 5 bytes gives an empty
// text; one that does not end with CR LF CR LF or has no CR LF in its first 15 bytes comes back
// unchanged. None when a chunk-size line is not a plain hexadecimal number. complete, when
// given, tells whether the last chunk (size 0) was reached: without it the body was cut short.
std::optional<QByteArray> DecodeChunked(const QByteArray &text, bool *complete = nullptr);

// One lookup's response, from the start to the ending. The progress words ("START", "CONNECT",
// "DATA", "ERR881", "ERR882", "ERR880", "DONE") and the page are its result; the diagnostics
// are the lookup's own text (the URL's password masked), never logged. The body ends where the
// server closes the connection; a body shorter than its Content-Length, or chunks without the
// last one, were cut short (a reset reads as a close) and give no page.
class HttpResponseReader {
public:
    // Headers and body together may not grow beyond this.
    static constexpr qsizetype ResponseLimit = 1024 * 1024;
    static constexpr qsizetype DiagnosticsLimit = 20001;

    // Socket status codes set by the reader itself.
    static constexpr char Closed[] = "102";
    static constexpr char HeadersIn[] = "001";
    static constexpr char TimedOut[] = "881";
    static constexpr char NotHtml[] = "990";
    static constexpr char TooLarge[] = "991";
    static constexpr char CutShort[] = "992";  // closed before the whole body came
    static constexpr char Overdue[] = "993";   // the lookup as a whole took too long

    // A new lookup of url: "START", statuses "000", everything emptied, the URL split.
    // url() is none when the URL cannot be used; the lookup then ends without connecting.
    void Begin(const QByteArray &url);
    const std::optional<HttpUrl> &Url() const { return url_; }

    // The connection is up (after the handshake for https): "CONNECT". The request to send.
    QByteArrayList Connected();

    // Received bytes. False when the lookup must end now: the headers are in and the content is
    // not HTML ("990"), or the response grew beyond ResponseLimit ("991"); the caller closes
    // the connection and calls End.
    bool Data(const QByteArray &bytes);
    // The server closed the connection ("102").
    void ServerClosed();
    // The socket reported an error: its number, with one leading blank, is the socket status.
    void SocketError(int errorNumber);
    // More than 30 seconds without data ("881").
    void Silence();
    // The whole lookup has lasted this many seconds, more than it may ("993").
    void TookTooLong(int seconds);

    // Ends the lookup, whatever ended it: the ERR words in their order, then "DONE". Returns
    // the page: the whole body (de-chunked, or up to its Content-Length) of an HTML answer with
    // status 200 or 206 that the server ended by closing; empty for every other ending (a body
    // cut short sets "992"). Only the first call after Begin counts.
    QByteArray End();

    bool Running() const { return running_; }
    const QByteArrayList &Words() const { return words_; }
    const QByteArray &SocketStatus() const { return socketStatus_; }
    const QByteArray &HttpStatus() const { return httpStatus_; }
    const QByteArray &LineDelimiter() const { return delimiter_; }
    const QByteArray &HeaderBlock() const { return headerBlock_; }
    const QByteArray &ResponseBody() const { return body_; }
    bool HeadersDone() const { return headersDone_; }
    bool ChunkedBody() const { return chunked_; }
    // The Content-Length the headers gave; -1 when none.
    qint64 ContentLength() const { return contentLength_; }
    const QByteArray &Diagnostics() const { return diagnostics_; }
    const QByteArray &Page() const { return page_; }

    // Adds a line to the diagnostics; a text grown to DiagnosticsLimit starts again from a blank.
    void Diagnose(const QByteArray &line);

private:
    void ReadHeaders();
    bool IsHtml() const;
    // The body as the framing says it ends: de-chunked or cut to its length. False when less
    // came than the framing announced, or the framing cannot be read.
    bool TakeWholeBody();

    std::optional<HttpUrl> url_;
    QByteArrayList words_;
    QByteArray socketStatus_ = "000";
    QByteArray httpStatus_ = "000";
    QByteArray delimiter_ = "\n";
    QByteArray headerBlock_;
    QByteArray body_;
    QByteArray diagnostics_;
    QByteArray page_;
    qsizetype received_ = 0;
    qsizetype firstBreak_ = -1;     // the first CR or LF of the response, once seen
    qsizetype breakScannedTo_ = 0;  // no line break before this offset
    qsizetype searchedTo_ = 0;      // the end of the headers was not found before this offset
    bool headersDone_ = false;
    bool chunked_ = false;
    qint64 contentLength_ = -1;     // none given
    bool badLength_ = false;        // a Content-Length that is no number, or two that differ
    bool running_ = false;
};
