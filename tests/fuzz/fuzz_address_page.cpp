// Fuzzes the address page reader with any page a web server could hand over. An address read
// from a page must come from an exact "<P>IP=" line and carry a port from 1 to 65535, and line
// ends must not matter. Broken invariants abort.
#include "dynaddr/AddressPage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray page(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<PeerAddress> read = ParseAddressPage(page);
    if (read) {
        Require(read->Port >= 1 && read->Port <= 65535);
        Require(!read->Host.isEmpty());
        Require(page.contains("<P>IP=" + read->Host));
        Require(page.contains("<P>PORT="));
        Require(!read->Host.contains('\r') && !read->Host.contains('\n') && !read->Host.contains('<'));
    }
    // A web server may hand the page over with LF or CR LF line ends.
    Require(ParseAddressPage(QByteArray(page).replace('\r', '\n')) == read);
    Require(ParseAddressPage(QByteArray(page).replace("\r", "\r\n")) == read);
    // The page as the posting builds it reads back whole.
    const int port = 1 + static_cast<int>(size % 65535);
    const QByteArray ip = QByteArray(page.left(15)).replace('<', '_').replace('\r', '_').replace('\n', '_').trimmed();
    const std::optional<PeerAddress> built = ParseAddressPage(BuildAddressPage("GO", ip, "d", "t", port));
    if (!ip.isEmpty() && !ip.contains(' '))
        Require(built == PeerAddress{ip, port});
    return 0;
}
