// The plain parts of the router port mapping: the NAT-PMP requests and the reader of their
// answers, the default gateway read from the kernel's routing table, and which IPv4 addresses
// the internet cannot reach. No sockets here.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>

inline constexpr int NatPmpPort = 5351;

// The request for the router's external address: version 0, opcode 0.
QByteArray NatPmpAddressRequest();
// A TCP mapping request for internalPort, suggesting externalPort, for lifetime seconds. A
// lifetime of 0 with an external port of 0 removes the mapping.
QByteArray NatPmpMapRequest(uint16_t internalPort, uint16_t externalPort, uint32_t lifetime);

// What the reader makes of one datagram.
struct NatPmpAnswer {
    enum class Kind { Address, Mapping };
    Kind kind = Kind::Address;
    uint16_t resultCode = 0;   // 0 is success; anything else is the router's refusal
    uint32_t epoch = 0;        // seconds since the router's mapping table was started
    uint32_t externalAddress = 0; // address answers, host order
    uint16_t internalPort = 0;    // mapping answers
    uint16_t externalPort = 0;
    uint32_t lifetime = 0;
};

// Why a datagram is not the answer asked for.
enum class NatPmpFault { None, Malformed, WrongOpcode, WrongPort };

// Reads an answer to the request with opcode askedOpcode (0 address, 2 TCP mapping) about
// internalPort (mapping answers only). An answer is exactly 12 bytes (address) or 16 bytes
// (mapping), version 0, opcode askedOpcode + 128; a mapping answer names internalPort. A
// refusal (result code not 0) is an answer: its other fields are not relied on. Anything else is
// a fault and gives none.
std::optional<NatPmpAnswer> ReadNatPmpAnswer(const QByteArray &datagram, int askedOpcode, uint16_t internalPort,
                                             NatPmpFault *fault = nullptr);

// The meaning of a NAT-PMP result code, for the log.
QByteArray NatPmpResultText(uint16_t code);

// The default gateway from the text of /proc/net/route: the gateway of the first line whose
// destination and mask are 0 and whose flags say up and gateway. Host order; none when there is
// no such line.
std::optional<uint32_t> DefaultGatewayFromRouteTable(const QByteArray &table);

// 10/8, 172.16/12, 192.168/16, 100.64/10 (carrier-grade NAT), 169.254/16 (link-local) and
// 127/8: addresses behind a router, which the internet cannot reach. Host order.
bool IsPrivateIPv4(uint32_t address);
// The same for dotted text; text that is no IPv4 address counts as not private.
bool IsPrivateIPv4(const QByteArray &dotted);
// Host order to dotted text and back (none when the text is no dotted IPv4 address).
QByteArray DottedIPv4(uint32_t address);
std::optional<uint32_t> ParseDottedIPv4(const QByteArray &dotted);
