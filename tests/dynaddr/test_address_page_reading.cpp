// Reading a peer's address page: only exact "<P>IP=" and "<P>PORT=" lines count, whatever the
// line ends and the markup around them; a page without both carries no address, and an address
// that is neither an IPv4 address nor a host name is refused.
#include "dynaddr/AddressPage.h"

#include <gtest/gtest.h>

TEST(AddressPageReading, TakesTheAddressOnlyFromExactLines)
{
    struct Case {
        const char *label;
        QByteArray page;
        std::optional<PageEndpoint> expected;
        LookupFailure failure = LookupFailure::NoAddress; // when nothing is expected
    };
    const PageEndpoint a{"10.1.2.3", 4444};
    const QByteArray longestName = QByteArray(63, 'a') + '.' + QByteArray(63, 'b') + '.' + QByteArray(63, 'c') + '.' +
                                   QByteArray(61, 'd');
    const QByteArray open = "<HTML>\r<P>Parcelwise Page\r<P>IP=10.1.2.3\r<P>DATE=10/12/2026\r<P>TIME=09:30\r"
                            "<P>PORT=4444\r</HTML>\r";
    const Case cases[] = {
        {"open page", open, a},
        {"closed page", "<HTML>\r<P>Parcelwise Page\r<P>CLOSED\r</HTML>\r", std::nullopt, LookupFailure::PageClosed},
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
        {"port 32768", "<P>IP=10.1.2.3\r<P>PORT=32768\r", PageEndpoint{"10.1.2.3", 32768}},
        {"port 65535", "<P>IP=10.1.2.3\r<P>PORT=65535\r", PageEndpoint{"10.1.2.3", 65535}},
        {"port 65536", "<P>IP=10.1.2.3\r<P>PORT=65536\r", std::nullopt},
        {"huge port", "<P>IP=10.1.2.3\r<P>PORT=99999999999999999999\r", std::nullopt},
        {"key inside a longer line", "x<P>IP=10.1.2.3\rx <P>PORT=4444\r", a},
        {"host name", "<P>IP=peer-1.Example.org\r<P>PORT=80\r", PageEndpoint{"peer-1.Example.org", 80}},
        {"host name of 253 characters", "<P>IP=" + longestName + "\r<P>PORT=80\r", PageEndpoint{longestName, 80}},
        {"host name of 254 characters", "<P>IP=" + longestName + "e\r<P>PORT=80\r", std::nullopt,
         LookupFailure::UnusableHost},
        {"blank inside the address", "<P>IP=10.1.2.3 x\r<P>PORT=4444\r", std::nullopt, LookupFailure::UnusableHost},
        {"shell text", "<P>IP=10.1.2.3;reboot\r<P>PORT=4444\r", std::nullopt, LookupFailure::UnusableHost},
        {"escape sequence", "<P>IP=\x1b[2J10.1.2.3\r<P>PORT=4444\r", std::nullopt, LookupFailure::UnusableHost},
        {"IPv6 address", "<P>IP=::1\r<P>PORT=4444\r", std::nullopt, LookupFailure::UnusableHost},
        {"underscore", "<P>IP=peer_1.example\r<P>PORT=4444\r", std::nullopt, LookupFailure::UnusableHost},
        {"letters beyond ASCII", "<P>IP=p\xc3\xa9" "er.example\r<P>PORT=4444\r", std::nullopt, LookupFailure::UnusableHost},
        {"a mebibyte of address", "<P>IP=" + QByteArray(1 << 20, 'a') + "\r<P>PORT=4444\r", std::nullopt,
         LookupFailure::UnusableHost},
        // Without a port the address is never looked at.
        {"unusable address without a port", "<P>IP=a b\r", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const LookupResult r = ParseAddressPage(c.page);
        EXPECT_EQ(r.Endpoint, c.expected);
        EXPECT_EQ(r.Failure, c.expected ? LookupFailure::None : c.failure);
        EXPECT_EQ(r.Ticket, 0u);
        // The refused text is kept whole for the log line, which cuts and escapes it.
        if (r.Failure == LookupFailure::UnusableHost) {
            EXPECT_TRUE(c.page.contains("<P>IP=" + r.RefusedHost + "\r"));
        } else {
            EXPECT_TRUE(r.RefusedHost.isEmpty());
        }
    }
}
