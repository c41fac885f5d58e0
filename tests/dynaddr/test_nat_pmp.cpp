// The plain parts of the router port mapping: NAT-PMP datagrams, the routing table, private
// addresses and the router named by environment.
#include "dynaddr/NatPmp.h"
#include "dynaddr/PortMapper.h"

#include <gtest/gtest.h>

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

} // namespace

TEST(NatPmp, RequestsCarryThePortTcpAndLifetime)
{
    EXPECT_EQ(NatPmpAddressRequest(), Bytes({0, 0}));
    EXPECT_EQ(NatPmpMapRequest(45000, 45001, 7200), Bytes({0, 2, 0, 0, 0xaf, 0xc8, 0xaf, 0xc9, 0, 0, 0x1c, 0x20}));
    EXPECT_EQ(NatPmpMapRequest(4444, 0, 0), Bytes({0, 2, 0, 0, 0x11, 0x5c, 0, 0, 0, 0, 0, 0}));
}

TEST(NatPmp, ReaderTakesOnlyTheAnswerAskedFor)
{
    const QByteArray address = Bytes({0, 128, 0, 0, 0, 0, 1, 2, 203, 0, 113, 7});
    const QByteArray mapping = Bytes({0, 130, 0, 0, 0, 0, 0, 9, 0x11, 0x5c, 0xaf, 0xc8, 0, 0, 0x1c, 0x20});
    const QByteArray refused = Bytes({0, 130, 0, 2, 0, 0, 0, 9, 0x11, 0x5c, 0, 0, 0, 0, 0, 0});
    struct Case {
        const char *name;
        QByteArray datagram;
        int opcode;
        NatPmpFault fault;
    } cases[] = {
        {"address", address, 0, NatPmpFault::None},
        {"mapping", mapping, 2, NatPmpFault::None},
        {"refusal is an answer", refused, 2, NatPmpFault::None},
        {"truncated address", address.left(11), 0, NatPmpFault::Malformed},
        {"oversized address", address + '\0', 0, NatPmpFault::Malformed},
        {"truncated mapping", mapping.left(12), 2, NatPmpFault::Malformed},
        {"empty", QByteArray(), 0, NatPmpFault::Malformed},
        {"version 1", Bytes({1}) + address.mid(1), 0, NatPmpFault::Malformed},
        {"mapping where address asked", mapping, 0, NatPmpFault::Malformed},
        {"request echoed", Bytes({0, 0, 0, 0, 0, 0, 1, 2, 203, 0, 113, 7}), 0, NatPmpFault::WrongOpcode},
        {"UDP mapping answer", Bytes({0, 129}) + mapping.mid(2), 2, NatPmpFault::WrongOpcode},
        {"other internal port", Bytes({0, 130, 0, 0, 0, 0, 0, 9, 0x11, 0x5d, 0xaf, 0xc8, 0, 0, 0x1c, 0x20}), 2,
         NatPmpFault::WrongPort},
    };
    for (const Case &c : cases) {
        NatPmpFault fault = NatPmpFault::Malformed;
        const std::optional<NatPmpAnswer> a = ReadNatPmpAnswer(c.datagram, c.opcode, 4444, &fault);
        EXPECT_EQ(fault, c.fault) << c.name;
        EXPECT_EQ(a.has_value(), c.fault == NatPmpFault::None) << c.name;
    }
    const NatPmpAnswer a = *ReadNatPmpAnswer(address, 0, 4444);
    EXPECT_EQ(a.externalAddress, 0xCB007107u);
    EXPECT_EQ(a.epoch, 258u);
    const NatPmpAnswer m = *ReadNatPmpAnswer(mapping, 2, 4444);
    EXPECT_EQ(m.resultCode, 0);
    EXPECT_EQ(m.epoch, 9u);
    EXPECT_EQ(m.internalPort, 4444);
    EXPECT_EQ(m.externalPort, 45000);
    EXPECT_EQ(m.lifetime, 7200u);
    EXPECT_EQ(ReadNatPmpAnswer(refused, 2, 4444)->resultCode, 2);
}

TEST(NatPmp, DefaultGatewayFromTheRoutingTable)
{
    const QByteArray header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    // 192.168.1.1 as the kernel prints it on a little-endian machine.
    const QByteArray table = header + "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        + "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
    if (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
        EXPECT_EQ(DefaultGatewayFromRouteTable(table), std::optional<uint32_t>(0xC0A80101));
    }
    // A default route that is down, or one without a gateway, names none.
    EXPECT_EQ(DefaultGatewayFromRouteTable(header + "eth0\t00000000\t0101A8C0\t0002\t0\t0\t0\t00000000\n"),
              std::nullopt);
    EXPECT_EQ(DefaultGatewayFromRouteTable(header + "eth0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\n"),
              std::nullopt);
    EXPECT_EQ(DefaultGatewayFromRouteTable(header), std::nullopt);
    EXPECT_EQ(DefaultGatewayFromRouteTable("garbage\nline without fields\n\t\t\n"), std::nullopt);
}

TEST(NatPmp, PrivateAddresses)
{
    const struct {
        const char *address;
        bool isPrivate;
    } cases[] = {
        {"10.1.2.3", true},       {"172.16.0.1", true},    {"172.31.255.255", true}, {"172.32.0.1", false},
        {"192.168.1.20", true},   {"192.169.0.1", false},  {"100.64.0.1", true},     {"100.127.255.255", true},
        {"100.128.0.1", false},   {"169.254.3.4", true},   {"127.0.0.1", true},      {"203.0.113.7", false},
        {"8.8.8.8", false},       {"not an address", false}, {"1.2.3", false},       {"1.2.3.256", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(IsPrivateIPv4(QByteArray(c.address)), c.isPrivate) << c.address;
    EXPECT_EQ(DottedIPv4(0xCB007107), "203.0.113.7");
    EXPECT_EQ(ParseDottedIPv4("203.0.113.7"), std::optional<uint32_t>(0xCB007107));
}

TEST(NatPmp, RouterNamedByEnvironment)
{
    const RouterChoice none = RouterChoice::FromValues(QByteArray(), QByteArray());
    EXPECT_TRUE(none.discover);
    EXPECT_TRUE(none.problem.isEmpty());

    const RouterChoice natpmp = RouterChoice::FromValues("127.0.0.9", QByteArray());
    EXPECT_FALSE(natpmp.discover);
    EXPECT_EQ(natpmp.natPmpGateway, QHostAddress("127.0.0.9"));
    EXPECT_TRUE(natpmp.igdUrl.isEmpty());

    const RouterChoice igd = RouterChoice::FromValues(QByteArray(), "http://127.0.0.1:5000/rootDesc.xml");
    EXPECT_FALSE(igd.discover);
    EXPECT_TRUE(igd.natPmpGateway.isNull());
    EXPECT_EQ(igd.igdUrl, "http://127.0.0.1:5000/rootDesc.xml");

    // Set but unusable: no discovery either.
    for (const auto &[gateway, url] : {std::pair<QByteArray, QByteArray>{"", QByteArray()},
                                       {"router.local", QByteArray()},
                                       {"0.0.0.0", QByteArray()},
                                       {QByteArray(), "ftp://127.0.0.1/rootDesc.xml"},
                                       {QByteArray(), ""},
                                       {"127.0.0.9", "http://127.0.0.1:0/"}}) {
        const RouterChoice r = RouterChoice::FromValues(gateway, url);
        EXPECT_FALSE(r.discover) << gateway.constData() << ' ' << url.constData();
        EXPECT_FALSE(r.problem.isEmpty()) << gateway.constData() << ' ' << url.constData();
    }
}
