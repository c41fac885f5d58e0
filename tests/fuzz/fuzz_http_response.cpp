// Fuzzes the lookup's response reader with hostile servers: the bytes arrive whole and split at
// points the input chooses, and the connection ends in one of the ways a socket reports. Every
// ending must come with "DONE" after the ERR words in their order, a page only from an HTML
// answer with status 200 or 206 that the server closed, the same result however the bytes were
// split, and memory bounded by the response limit. A body with framing (a Content-Length or
// chunks) gives its page only whole: exactly the announced length, and a response cut short
// gives that same page or none. Broken invariants abort.
#include "dynaddr/HttpResponse.h"
#include "FuzzSupport.h"

namespace {

struct Result {
    QByteArrayList words;
    QByteArray page;
    QByteArray socketStatus;
    QByteArray httpStatus;
    qint64 contentLength = -1;
    bool chunked = false;
    bool framed = false; // a Content-Length or chunks say where the body ends
    bool operator==(const Result &) const = default;
};

Result Run(const QByteArray &response, const QList<qsizetype> &cuts, int ending)
{
    HttpResponseReader reader;
    reader.Begin("http://127.0.0.1:8080/page.html");
    reader.Connected();
    bool open = true;
    qsizetype from = 0;
    for (qsizetype cut : cuts) {
        if (!open)
            break;
        open = reader.Data(response.mid(from, cut - from));
        from = cut;
        Require(reader.ResponseBody().size() <= HttpResponseReader::ResponseLimit);
    }
    if (open)
        open = reader.Data(response.mid(from));
    if (open) {
        if (ending == 0)
            reader.ServerClosed();
        else if (ending == 1)
            reader.Silence();
        else
            reader.SocketError(10054);
    }
    const QByteArray page = reader.End();
    Require(!reader.Running());
    Require(reader.End() == page);
    // The headers mark a chunked body with "chunked" anywhere in them.
    const bool chunked = reader.HeaderBlock().contains("chunked");
    return {reader.Words(), page, reader.SocketStatus(), reader.HttpStatus(), reader.ContentLength(),
            chunked, chunked || reader.ContentLength() >= 0};
}

void CheckEnding(const Result &r)
{
    static const QByteArrayList order = {"START", "CONNECT", "DATA", "ERR881", "ERR882", "ERR880", "DONE"};
    Require(r.words.size() >= 3 && r.words[0] == "START" && r.words[1] == "CONNECT" && r.words.last() == "DONE");
    for (qsizetype i = 1; i < r.words.size(); ++i)
        Require(order.indexOf(r.words[i - 1]) < order.indexOf(r.words[i]));
    const bool errors = r.words.contains("ERR881") || r.words.contains("ERR882") || r.words.contains("ERR880");
    if (!r.page.isEmpty()) {
        Require(!errors);
        Require(r.socketStatus == "102");
        Require(r.httpStatus == "200" || r.httpStatus == "206");
    }
    if (r.socketStatus != "102")
        Require(r.page.isEmpty() && r.words.contains("ERR880"));
    // Without chunks, a page is exactly as long as its length header says.
    if (!r.page.isEmpty() && r.contentLength >= 0 && !r.chunked)
        Require(r.page.size() == r.contentLength);
    Require(r.page.size() <= HttpResponseReader::ResponseLimit);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const int ending = data[0] % 3;
    const qsizetype firstCut = data[1];
    const qsizetype step = 1 + data[2] % 16;
    const QByteArray response = InputBytes(data + 3, size - 3);

    const Result whole = Run(response, {}, ending);
    CheckEnding(whole);
    QList<qsizetype> cuts;
    for (qsizetype at = std::min(firstCut, response.size()); at < response.size(); at += step)
        cuts.append(at);
    Require(Run(response, cuts, ending) == whole);

    // The server closes early, after any byte: a framed body is whole or gives no page.
    if (whole.framed && !whole.page.isEmpty() && ending == 0) {
        const Result cut = Run(response.left(firstCut * (response.size() - 1) / 255), {}, 0);
        CheckEnding(cut);
        Require(cut.page.isEmpty() || cut.page == whole.page);
    }

    (void)ParseHttpUrl(response);
    const std::optional<QByteArray> joined = DecodeChunked(response);
    Require(!joined || joined->size() <= response.size());
    return 0;
}
