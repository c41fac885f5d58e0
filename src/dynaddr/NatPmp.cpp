// NAT-PMP datagrams, the routing table and private addresses.
#include "dynaddr/NatPmp.h"

#include <QByteArrayList>

namespace {

void PutU16(QByteArray &out, uint16_t v)
{
    out.append(char(v >> 8));
    out.append(char(v & 0xff));
}

void PutU32(QByteArray &out, uint32_t v)
{
    PutU16(out, uint16_t(v >> 16));
    PutU16(out, uint16_t(v & 0xffff));
}

uint16_t U16(const QByteArray &in, int at)
{
    return uint16_t((uint8_t(in[at]) << 8) | uint8_t(in[at + 1]));
}

uint32_t U32(const QByteArray &in, int at)
{
    return (uint32_t(U16(in, at)) << 16) | U16(in, at + 2);
}

std::optional<NatPmpAnswer> Fail(NatPmpFault why, NatPmpFault *fault)
{
    if (fault)
        *fault = why;
    return std::nullopt;
}

} // namespace

QByteArray NatPmpAddressRequest()
{
    return QByteArray("\0\0", 2);
}

QByteArray NatPmpMapRequest(uint16_t internalPort, uint16_t externalPort, uint32_t lifetime)
{
    QByteArray out;
    out.append(char(0)); // version
    out.append(char(2)); // map TCP
    PutU16(out, 0);      // reserved
    PutU16(out, internalPort);
    PutU16(out, externalPort);
    PutU32(out, lifetime);
    return out;
}

std::optional<NatPmpAnswer> ReadNatPmpAnswer(const QByteArray &datagram, int askedOpcode, uint16_t internalPort,
                                             NatPmpFault *fault)
{
    if (fault)
        *fault = NatPmpFault::None;
    const bool mapping = askedOpcode != 0;
    const qsizetype size = mapping ? 16 : 12;
    if (datagram.size() != size || datagram[0] != 0)
        return Fail(NatPmpFault::Malformed, fault);
    if (uint8_t(datagram[1]) != askedOpcode + 128)
        return Fail(NatPmpFault::WrongOpcode, fault);
    NatPmpAnswer answer;
    answer.kind = mapping ? NatPmpAnswer::Kind::Mapping : NatPmpAnswer::Kind::Address;
    answer.resultCode = U16(datagram, 2);
    answer.epoch = U32(datagram, 4);
    if (!mapping) {
        answer.externalAddress = U32(datagram, 8);
        return answer;
    }
    answer.internalPort = U16(datagram, 8);
    answer.externalPort = U16(datagram, 10);
    answer.lifetime = U32(datagram, 12);
    if (answer.internalPort != internalPort)
        return Fail(NatPmpFault::WrongPort, fault);
    return answer;
}

QByteArray NatPmpResultText(uint16_t code)
{
    switch (code) {
    case 0: return "success";
    case 1: return "unsupported version";
    case 2: return "not authorized";
    case 3: return "network failure";
    case 4: return "out of resources";
    case 5: return "unsupported opcode";
    default: return "unknown result";
    }
}

std::optional<uint32_t> DefaultGatewayFromRouteTable(const QByteArray &table)
{
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; addresses are the kernel's
    // 32-bit words printed in hexadecimal, in network byte order as stored on this machine.
    constexpr unsigned RouteUp = 0x1, RouteGateway = 0x2;
    const QByteArrayList lines = table.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayList f = lines[i].simplified().split(' ');
        if (f.size() < 8)
            continue;
        bool okDest = false, okGate = false, okFlags = false, okMask = false;
        const uint32_t dest = f[1].toUInt(&okDest, 16);
        const uint32_t gate = f[2].toUInt(&okGate, 16);
        const unsigned flags = f[3].toUInt(&okFlags, 16);
        const uint32_t mask = f[7].toUInt(&okMask, 16);
        if (!okDest || !okGate || !okFlags || !okMask || dest != 0 || mask != 0 || gate == 0)
            continue;
        if ((flags & (RouteUp | RouteGateway)) != (RouteUp | RouteGateway))
            continue;
        // The word holds the address's bytes in memory order: on a little-endian machine the
        // first byte of the address is the lowest byte of the word.
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&gate);
        return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    }
    return std::nullopt;
}

bool IsPrivateIPv4(uint32_t a)
{
    auto in = [a](uint32_t net, int bits) { return (a >> (32 - bits)) == (net >> (32 - bits)); };
    return in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16) || in(0x64400000, 10)
        || in(0xA9FE0000, 16) || in(0x7F000000, 8);
}

bool IsPrivateIPv4(const QByteArray &dotted)
{
    const std::optional<uint32_t> a = ParseDottedIPv4(dotted);
    return a && IsPrivateIPv4(*a);
}

QByteArray DottedIPv4(uint32_t a)
{
    return QByteArray::number(a >> 24) + '.' + QByteArray::number((a >> 16) & 0xff) + '.'
        + QByteArray::number((a >> 8) & 0xff) + '.' + QByteArray::number(a & 0xff);
}

std::optional<uint32_t> ParseDottedIPv4(const QByteArray &dotted)
{
    const QByteArrayList parts = dotted.split('.');
    if (parts.size() != 4)
        return std::nullopt;
    uint32_t a = 0;
    for (const QByteArray &p : parts) {
        if (p.isEmpty() || p.size() > 3)
            return std::nullopt;
        for (char c : p)
            if (c < '0' || c > '9')
                return std::nullopt;
        const int v = p.toInt();
        if (v > 255)
            return std::nullopt;
        a = (a << 8) | uint32_t(v);
    }
    return a;
}
