// Building and reading the address page.
#include "dynaddr/AddressPage.h"

#include "core/Limits.h"
#include "core/TextUtil.h"

QByteArray BuildAddressPage(const QByteArray &pageMode, const QByteArray &ip, const QByteArray &date,
                            const QByteArray &time, int listenPort)
{
    if (pageMode == "GO")
        return "<HTML>\r<P>Parcelwise Page\r<P>IP=" + ip + "\r<P>DATE=" + date + "\r<P>TIME=" + time +
               "\r<P>PORT=" + QByteArray::number(listenPort) + "\r</HTML>\r";
    if (pageMode == "CLOSE")
        return "<HTML>\r<P>Parcelwise Page\r<P>CLOSED\r</HTML>\r";
    return {};
}

bool IsUsableHost(const QByteArray &host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (char c : host) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '.')
            return false;
    }
    // A dotted IPv4 address is made of the same characters.
    return true;
}

LookupResult ParseAddressPage(const QByteArray &page)
{
    LookupResult result;
    result.Failure = LookupFailure::NoAddress;
    QByteArray text = TrimBlanks(page);
    if (text.isEmpty())
        return result;
    text.replace('\n', '\r');
    text.replace("<", "\r<");
    text = '\r' + text + '\r';
    QByteArray ip;
    int64_t port = 0;
    bool closed = false;
    const QList<QByteArray> fields = text.split('\r');
    // The last field follows the final CR and is always empty.
    for (int i = 0; i + 1 < fields.size(); ++i) {
        const QByteArray field = TrimBlanks(fields[i]);
        if (field.isEmpty())
            continue;
        if (field.startsWith("<P>IP="))
            ip = field.mid(6);
        else if (field.startsWith("<P>PORT="))
            port = LeadingInteger(RemoveAll(field.mid(8), ' '), 0, 65536);
        else if (field == "<P>CLOSED")
            closed = true;
    }
    // Ports up to 65535 are valid: a peer may listen on any port its preferences accept.
    if (!IsValidPort(port) || ip.isEmpty()) {
        if (closed)
            result.Failure = LookupFailure::PageClosed;
        return result;
    }
    // Whatever the page holds goes into a name lookup and the log: only a plain address or name.
    if (!IsUsableHost(ip)) {
        result.Failure = LookupFailure::UnusableHost;
        result.RefusedHost = ip;
        return result;
    }
    result.Failure = LookupFailure::None;
    result.Endpoint = PageEndpoint{ip, static_cast<int>(port)};
    return result;
}
