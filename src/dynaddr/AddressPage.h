// The address page: the small HTML page through which an installation whose address changes
// tells its senders where it listens. Built here for posting, read here after a lookup.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <optional>

// Where an installation with a changing address listens, as its address page names it.
struct PageEndpoint {
    QByteArray Host;
    int Port = 0;
    bool operator==(const PageEndpoint &) const = default;
};

// Why a lookup brought no address.
enum class LookupFailure {
    None,
    NotFetched,   // no whole HTML page with status 200 or 206 came: the server, the connection or time failed
    PageClosed,   // the page says its owner is not listening
    NoAddress,    // the page names no IP or no usable port
    UnusableHost, // the IP line holds neither an IPv4 address nor a host name
};

// What a lookup brings back: where to connect, or why there is nowhere.
struct LookupResult {
    quint64 Ticket = 0;                  // the lookup's ticket (0 from the page reader alone)
    std::optional<PageEndpoint> Endpoint;
    LookupFailure Failure = LookupFailure::None;
    QByteArray RefusedHost;              // the IP line's text, with UnusableHost
    bool operator==(const LookupResult &) const = default;
};

// The open page ("GO") with the address, date, time and port; the closed page ("CLOSE"); any
// other mode gives an empty text (nothing is sent). Every line ends with a single CR.
QByteArray BuildAddressPage(const QByteArray &pageMode, const QByteArray &ip, const QByteArray &date,
                            const QByteArray &time, int listenPort);

// A host a page may name: a dotted IPv4 address, or a host name of at most 253 characters of
// ASCII letters, digits, "-" and ".".
bool IsUsableHost(const QByteArray &host);

// Reads the address and port from a fetched page. No endpoint for an empty or closed page, a
// page without both, a port of 0 or above 65535 (NoAddress, PageClosed), or an IP line that
// IsUsableHost refuses (UnusableHost, with the text).
LookupResult ParseAddressPage(const QByteArray &page);
