#include "net/address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

// Longer than any address text inet_pton accepts; longer input is refused before copying.
constexpr size_t max_ip_text = INET6_ADDRSTRLEN;

bool parse_port(std::string_view text, uint16_t* out) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > 65535) return false;
  *out = static_cast<uint16_t>(value);
  return true;
}

bool is_v4_mapped(const ip_addr& a) {
  static constexpr uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return a.v6 && std::memcmp(a.bytes.data(), prefix, sizeof prefix) == 0;
}

ip_addr unmapped(const ip_addr& a) {
  ip_addr v4;
  std::memcpy(v4.bytes.data(), a.bytes.data() + 12, 4);
  return v4;
}

// Whether the first `bits` bits of the two byte arrays agree.
bool prefix_equal(const uint8_t* a, const uint8_t* b, int bits) {
  int whole = bits / 8;
  if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
  int rest = bits % 8;
  if (rest == 0) return true;
  uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool parse_ip(std::string_view text, ip_addr* out) {
  if (text.empty() || text.size() >= max_ip_text) return false;
  char buf[max_ip_text] = {};
  std::memcpy(buf, text.data(), text.size());
  ip_addr addr;
  if (text.find(':') == std::string_view::npos) {
    if (inet_pton(AF_INET, buf, addr.bytes.data()) != 1) return false;
  } else {
    addr.v6 = true;
    if (inet_pton(AF_INET6, buf, addr.bytes.data()) != 1) return false;
  }
  *out = addr;
  return true;
}

std::string format_ip(const ip_addr& addr) {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(addr.v6 ? AF_INET6 : AF_INET, addr.bytes.data(), buf, sizeof buf);
  return buf;
}

bool parse_endpoint(std::string_view text, ip_endpoint* out) {
  std::string_view host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    if (host.find(':') == std::string_view::npos) return false;  // "[1.2.3.4]:80"
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) return false;  // IPv6 needs brackets
  }
  ip_endpoint ep;
  if (!parse_ip(host, &ep.addr) || !parse_port(port, &ep.port)) return false;
  *out = ep;
  return true;
}

std::string format_endpoint(const ip_endpoint& ep) {
  std::string host = format_ip(ep.addr);
  if (ep.addr.v6) host = "[" + host + "]";
  return host + ":" + std::to_string(ep.port);
}

bool parse_ip_net(std::string_view text, ip_net* out) {
  size_t slash = text.find('/');
  ip_net net;
  if (!parse_ip(text.substr(0, slash), &net.addr)) return false;
  int max_prefix = net.addr.v6 ? 128 : 32;
  if (slash == std::string_view::npos) {
    net.prefix = max_prefix;
  } else {
    std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return false;
    int value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > max_prefix) return false;
    net.prefix = value;
  }
  *out = net;
  return true;
}

std::string format_ip_net(const ip_net& net) {
  std::string text = format_ip(net.addr);
  if (net.prefix != (net.addr.v6 ? 128 : 32)) text += "/" + std::to_string(net.prefix);
  return text;
}

bool ip_in_net(const ip_addr& addr, const ip_net& net) {
  ip_addr a = is_v4_mapped(addr) ? unmapped(addr) : addr;
  ip_net n = net;
  if (is_v4_mapped(net.addr) && net.prefix >= 96) {
    n.addr = unmapped(net.addr);
    n.prefix = net.prefix - 96;
  }
  if (a.v6 != n.addr.v6) return false;
  return prefix_equal(a.bytes.data(), n.addr.bytes.data(), n.prefix);
}

bool endpoint_from_sockaddr(const sockaddr* sa, socklen_t len, ip_endpoint* out) {
  if (sa == nullptr) return false;
  ip_endpoint ep;
  if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in in{};
    std::memcpy(&in, sa, sizeof in);
    std::memcpy(ep.addr.bytes.data(), &in.sin_addr, 4);
    ep.port = ntohs(in.sin_port);
  } else if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, sa, sizeof in6);
    ep.addr.v6 = true;
    std::memcpy(ep.addr.bytes.data(), &in6.sin6_addr, 16);
    ep.port = ntohs(in6.sin6_port);
  } else {
    return false;
  }
  *out = ep;
  return true;
}

sockaddr_storage endpoint_to_sockaddr(const ip_endpoint& ep, socklen_t* len) {
  sockaddr_storage storage{};
  if (ep.addr.v6) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(ep.port);
    std::memcpy(&in6.sin6_addr, ep.addr.bytes.data(), 16);
    std::memcpy(&storage, &in6, sizeof in6);
    *len = sizeof in6;
  } else {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(ep.port);
    std::memcpy(&in.sin_addr, ep.addr.bytes.data(), 4);
    std::memcpy(&storage, &in, sizeof in);
    *len = sizeof in;
  }
  return storage;
}
