// Fuzzes the NAT-PMP answer reader with whatever a hostile router might send: the first byte of
// the input picks the request asked about (address or TCP mapping) and the next two the internal
// port, the rest is the datagram. An accepted answer must be exactly the size of its kind, carry
// version 0 and the asked opcode plus 128, name the asked internal port (mappings), and give back
// the fields that are in the datagram; a refused datagram must say why. Broken invariants abort.
#include "dynaddr/NatPmp.h"
#include "FuzzSupport.h"

namespace {

uint32_t Word(const QByteArray &d, int at, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | uint8_t(d[at + i]);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const int opcode = (data[0] & 1) ? 2 : 0;
    const uint16_t port = uint16_t((data[1] << 8) | data[2]);
    const QByteArray datagram = InputBytes(data + 3, size - 3);
    NatPmpFault fault = NatPmpFault::None;
    const std::optional<NatPmpAnswer> a = ReadNatPmpAnswer(datagram, opcode, port, &fault);
    Require(a.has_value() == (fault == NatPmpFault::None));
    if (!a) {
        const bool rightShape = datagram.size() == (opcode ? 16 : 12) && datagram[0] == 0;
        Require(rightShape == (fault != NatPmpFault::Malformed));
        return 0;
    }
    Require(datagram.size() == (opcode ? 16 : 12));
    Require(datagram[0] == 0 && uint8_t(datagram[1]) == opcode + 128);
    Require(a->resultCode == Word(datagram, 2, 2) && a->epoch == Word(datagram, 4, 4));
    if (opcode == 0) {
        Require(a->kind == NatPmpAnswer::Kind::Address && a->externalAddress == Word(datagram, 8, 4));
        // What the reader accepts prints as a dotted address that reads back the same.
        Require(ParseDottedIPv4(DottedIPv4(a->externalAddress)) == a->externalAddress);
    } else {
        Require(a->kind == NatPmpAnswer::Kind::Mapping && a->internalPort == port);
        Require(a->externalPort == Word(datagram, 10, 2) && a->lifetime == Word(datagram, 12, 4));
    }
    (void)NatPmpResultText(a->resultCode);
    (void)DefaultGatewayFromRouteTable(datagram);
    return 0;
}
