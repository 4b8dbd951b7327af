#include "server/admission.h"

#include "net/forwarded.h"

admit_decision admit_peer(admission* a, const ip_addr& peer, int max_connections,
                          int max_connections_per_addr, const std::vector<ip_net>& trusted) {
  admit_decision d;
  if (a->active >= max_connections) return d;
  ++a->active;
  d.admitted = true;
  // A proxy's connection is counted against its client once the request names it.
  d.proxied = is_trusted_proxy(peer, trusted);
  if (!d.proxied) d.client_counted = take_client_place(a, peer, max_connections_per_addr);
  return d;
}

bool take_client_place(admission* a, const ip_addr& client, int cap) {
  int& held = a->by_addr[client];
  if (held >= cap) {
    if (held == 0) a->by_addr.erase(client);
    return false;
  }
  ++held;
  return true;
}

bool may_wait_for_place(const admission& a, int cap) {
  return a.waiting_for_place < cap;
}

void give_back(admission* a, bool client_counted, const ip_addr& client) {
  --a->active;
  if (!client_counted) return;
  auto it = a->by_addr.find(client);
  if (--it->second == 0) a->by_addr.erase(it);
}

int places_held(const admission& a, const ip_addr& client) {
  auto it = a.by_addr.find(client);
  return it == a.by_addr.end() ? 0 : it->second;
}
