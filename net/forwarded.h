// The client behind a request that came through trusted reverse proxies, read from the
// X-Forwarded-For header they append to ("client, proxy1, proxy2": the nearest hop last).
#pragma once

#include <string_view>
#include <vector>

#include "net/address.h"

// Whether `addr` lies in one of `trusted`.
bool is_trusted_proxy(const ip_addr& addr, const std::vector<ip_net>& trusted);

// The client behind a request that came from `peer`: `peer` itself unless it is one of
// `trusted`; then, walking `forwarded_for` (comma-separated addresses, possibly with ports,
// the nearest hop last) from its right end, the first address that is not one of `trusted`.
// When every address is trusted the left-most one is the client; an address that does not
// parse ends the walk at the hop before it. IPv4-mapped IPv6 addresses come back as IPv4.
ip_addr client_address(const ip_addr& peer, std::string_view forwarded_for,
                       const std::vector<ip_net>& trusted);
