// Reading a peer's address page: only exact "<P>IP=" and "<P>PORT=" lines count, whatever the
// line ends and the markup around them; a page without both carries no address.
#include "dynaddr/AddressPage.h"

#include <gtest/gtest.h>

TEST(AddressPageReading, TakesTheAddressOnlyFromExactLines)
{
    struct Case {
        const char *label;
        QByteArray page;
        std::optional<PeerAddress> expected;
    };
    const PeerAddress a{"10.1.2.3", 4444};
    const QByteArray open = "<HTML>\r<P>Parcelwise Page\r<P>IP=10.1.2.3\r<P>DATE=10/12/2026\r<P>TIME=09:30\r"
                            "<P>PORT=4444\r</HTML>\r";
    const Case cases[] = {
        {"open page", open, a},
        {"closed page", "<HTML>\r<P>Parcelwise Page\r<P>CLOSED\r</HTML>\r", std::nullopt},
        {"empty", "", std::nullopt},
        {"blanks only", "     ", std::nullopt},
        {"address without port", "<P>IP=10.1.2.3\r", std::nullopt},
        {"port 0", "<P>IP=10.1.2.3\r<P>PORT=0\r", std::nullopt},
        {"port without address", "<P>PORT=4444\r", std::nullopt},
        {"empty address", "<P>IP=\r<P>PORT=4444\r", std::nullopt},
        {"lower-case tag", "<p>IP=10.1.2.3\r<P>PORT=4444\r", std::nullopt},
        {"lower-case key", "<P>ip=10.1.2.3\r<P>PORT=4444\r", std::nullopt},
        {"lower-case beside an exact line", "<p>ip=9.9.9.9\r<P>IP=10.1.2.3\r<P>port=1\r<P>PORT=4444\r", a},
        {"CR LF line ends", QByteArray(open).replace("\r", "\r\n"), a},
        {"LF line ends", QByteArray(open).replace('\r', '\n'), a},
        {"closing tags on the same line", "<HTML><P>IP=10.1.2.3</P><P>PORT=4444</P></HTML>", a},
        {"both on one line", "<P>IP=10.1.2.3<P>PORT=4444", a},
        {"port first, other lines between", "<P>PORT=4444\rhello\r<P>DATE=x\r<P>IP=10.1.2.3\r", a},
        {"blanks around lines", "   <P>IP=10.1.2.3   \r  <P>PORT=4444  \r", a},
        {"later lines override", "<P>IP=1.1.1.1\r<P>PORT=1\r<P>IP=10.1.2.3\r<P>PORT=4444\r", a},
        {"a later empty address overrides", "<P>IP=10.1.2.3\r<P>PORT=4444\r<P>IP=\r", std::nullopt},
        {"a later bad port overrides", "<P>IP=10.1.2.3\r<P>PORT=4444\r<P>PORT=x\r", std::nullopt},
        {"leading number of the port", "<P>IP=10.1.2.3\r<P>PORT=4444abc\r", a},
        {"blanks inside the port", "<P>IP=10.1.2.3\r<P>PORT= 44 44\r", a},
        {"port not a number", "<P>IP=10.1.2.3\r<P>PORT=abc\r", std::nullopt},
        {"negative port", "<P>IP=10.1.2.3\r<P>PORT=-4444\r", std::nullopt},
        {"port 32768", "<P>IP=10.1.2.3\r<P>PORT=32768\r", PeerAddress{"10.1.2.3", 32768}},
        {"port 65535", "<P>IP=10.1.2.3\r<P>PORT=65535\r", PeerAddress{"10.1.2.3", 65535}},
        {"port 65536", "<P>IP=10.1.2.3\r<P>PORT=65536\r", std::nullopt},
        {"huge port", "<P>IP=10.1.2.3\r<P>PORT=99999999999999999999\r", std::nullopt},
        {"key inside a longer line", "x<P>IP=10.1.2.3\rx <P>PORT=4444\r", a},
        {"address text kept as it stands", "<P>IP=peer.example\r<P>PORT=80\r", PeerAddress{"peer.example", 80}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(ParseAddressPage(c.page), c.expected);
    }
}
