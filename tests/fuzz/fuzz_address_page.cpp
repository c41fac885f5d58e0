// Fuzzes the address page reader with any page a web server could hand over. An address read
// from a page must come from an exact "<P>IP=" line, be a plain IPv4 address or host name, and
// carry a port from 1 to 65535; a page without one says why; line ends must not matter. Broken
// invariants abort.
#include "dynaddr/AddressPage.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray page = InputBytes(data, size);
    const LookupResult read = ParseAddressPage(page);
    Require(read.Ticket == 0);
    Require(read.Endpoint.has_value() == (read.Failure == LookupFailure::None));
    Require(read.Failure != LookupFailure::NotFetched);
    Require(read.RefusedHost.isEmpty() == (read.Failure != LookupFailure::UnusableHost));
    if (read.Endpoint) {
        const PageEndpoint &e = *read.Endpoint;
        Require(e.Port >= 1 && e.Port <= 65535);
        Require(IsUsableHost(e.Host) && e.Host.size() <= 253);
        Require(page.contains("<P>IP=" + e.Host));
        Require(page.contains("<P>PORT="));
        for (char c : e.Host)
            Require(c > ' ' && c < 127 && c != '<' && c != ':' && c != '/' && c != '@');
    }
    if (read.Failure == LookupFailure::UnusableHost) {
        Require(!IsUsableHost(read.RefusedHost));
        Require(page.contains("<P>IP=" + read.RefusedHost));
    }
    // A web server may hand the page over with LF or CR LF line ends.
    Require(ParseAddressPage(QByteArray(page).replace('\r', '\n')) == read);
    Require(ParseAddressPage(QByteArray(page).replace("\r", "\r\n")) == read);
    // The page as the posting builds it reads back whole, when it names a usable host.
    const int port = 1 + static_cast<int>(size % 65535);
    const QByteArray ip = QByteArray(page.left(15)).replace('<', '_').replace('\r', '_').replace('\n', '_').trimmed();
    const LookupResult built = ParseAddressPage(BuildAddressPage("GO", ip, "d", "t", port));
    if (!ip.isEmpty() && !ip.contains(' ')) {
        if (IsUsableHost(ip))
            Require(built.Endpoint == PageEndpoint{ip, port});
        else
            Require(built.Failure == LookupFailure::UnusableHost && built.RefusedHost == ip);
    }
    return 0;
}
