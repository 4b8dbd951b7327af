#include "net/forwarded.h"

#include <string>

#include "lib/conv.h"
#include "net/socket.h"

namespace {

// One address of an X-Forwarded-For list: bare, or with a port as some proxies write it.
bool parse_hop(std::string_view text, ip_addr* out) {
  ip_endpoint ep;
  if (parse_ip(text, out)) return true;
  if (!parse_endpoint(text, &ep)) return false;
  *out = ep.addr;
  return true;
}

}  // namespace

bool is_trusted_proxy(const ip_addr& addr, const std::vector<ip_net>& trusted) {
  for (const ip_net& net : trusted) {
    if (ip_in_net(addr, net)) return true;
  }
  return false;
}

ip_addr client_address(const ip_addr& peer, std::string_view forwarded_for,
                       const std::vector<ip_net>& trusted) {
  ip_addr client = peer;
  if (!is_trusted_proxy(peer, trusted)) return client;
  std::string_view rest = forwarded_for;
  while (!rest.empty()) {
    size_t comma = rest.rfind(',');
    std::string_view hop = comma == std::string_view::npos ? rest : rest.substr(comma + 1);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
    std::string text = trim(hop);
    if (text.empty()) continue;
    ip_addr addr;
    if (!parse_hop(text, &addr)) break;
    client = plain_ip(addr);
    if (!is_trusted_proxy(client, trusted)) break;
  }
  return client;
}
