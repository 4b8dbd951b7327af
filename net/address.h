// IP addresses, listen endpoints and address ranges as operators write them in the configuration:
// "1.2.3.4", "::1", "1.2.3.4:80", "[::]:80", "127.0.0.0/8", "::1" (one address is a range of one).
// Only numeric literals: nothing here resolves names. The parsers never throw; they return false
// and leave *out unspecified when the text is not what they read.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// An IPv4 or IPv6 address. IPv4 keeps its four bytes, in network order, at the front of `bytes`
// and zeros behind them.
struct ip_addr {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};

  bool operator==(const ip_addr&) const = default;
};

// A listening (or peer) address and port.
struct ip_endpoint {
  ip_addr addr;
  uint16_t port = 0;

  bool operator==(const ip_endpoint&) const = default;
};

// A range of addresses: those whose first `prefix` bits equal addr's.
struct ip_net {
  ip_addr addr;
  int prefix = 0;  // 0..32 for IPv4, 0..128 for IPv6

  bool operator==(const ip_net&) const = default;
};

// Reads a dotted-quad IPv4 address or an IPv6 address ("::1", "fe80::1", "::ffff:1.2.3.4"; no
// zone, no brackets). Returns false for anything else.
bool parse_ip(std::string_view text, ip_addr* out);

// The canonical text: "10.0.0.1", "::1", "2001:db8::1" (lower case, zeros compressed).
std::string format_ip(const ip_addr& addr);

// Reads "a.b.c.d:port" or "[v6]:port"; the port is decimal, 0..65535 (0: the system picks one).
// Returns false for anything else, including a missing port or a name instead of an address.
bool parse_endpoint(std::string_view text, ip_endpoint* out);

// "10.0.0.1:80" or "[::1]:80"; parse_endpoint reads it back.
std::string format_endpoint(const ip_endpoint& ep);

// Reads "address/prefix" or a bare address (a range of one: /32 or /128). Bits of the address
// past the prefix are ignored. Returns false for a bad address or a prefix out of range.
bool parse_ip_net(std::string_view text, ip_net* out);

// "127.0.0.0/8"; a range of one prints as the bare address.
std::string format_ip_net(const ip_net& net);

// Whether `addr` lies in `net`. An IPv4-mapped IPv6 address (::ffff:a.b.c.d, how a peer on an
// IPv6 listener that also accepts IPv4 appears) is compared as the IPv4 address it carries, both
// as `addr` and inside `net`.
bool ip_in_net(const ip_addr& addr, const ip_net& net);

// The address and port of a socket address (AF_INET or AF_INET6). Returns false for any other
// family or a length too short for it.
bool endpoint_from_sockaddr(const sockaddr* sa, socklen_t len, ip_endpoint* out);

// The socket address for `ep`; *len gets its size.
sockaddr_storage endpoint_to_sockaddr(const ip_endpoint& ep, socklen_t* len);
