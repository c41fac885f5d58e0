// Building and reading the address page.
#include "dynaddr/AddressPage.h"

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

std::optional<PeerAddress> ParseAddressPage(const QByteArray &page)
{
    QByteArray text = TrimBlanks(page);
    if (text.isEmpty())
        return std::nullopt;
    text.replace('\n', '\r');
    text.replace("<", "\r<");
    text = '\r' + text + '\r';
    QByteArray ip;
    int64_t port = 0;
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
    }
    // Ports up to 65535 are valid: a peer may listen on any port its preferences accept.
    if (port < 1 || port > 65535 || ip.isEmpty())
        return std::nullopt;
    return PeerAddress{ip, static_cast<int>(port)};
}
