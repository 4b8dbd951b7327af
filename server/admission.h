// Admission: how many connections are served at once, in total and per client address, against
// the caps. Plain bookkeeping with no lock and no socket of its own: the listener keeps one
// `admission` under its lock and asks it at every accept, and again once a proxied request has
// named its client.
#pragma once

#include <map>
#include <vector>

#include "net/address.h"

// Orders addresses for the per-address counts.
struct ip_addr_less {
  bool operator()(const ip_addr& a, const ip_addr& b) const {
    return a.v6 != b.v6 ? a.v6 < b.v6 : a.bytes < b.bytes;
  }
};

struct admission {
  int active = 0;                                // connections admitted
  std::map<ip_addr, int, ip_addr_less> by_addr;  // the same per client (no entry: none)
  int waiting_for_place = 0;                     // connections waiting for a per-address place
};

// What admit_peer decided for a connection just accepted.
struct admit_decision {
  bool admitted = false;  // false: the total cap is reached, close it at once
  // From a trusted proxy: its client is known only once the request is read, and the proxy's
  // own connections count against the total cap only.
  bool proxied = false;
  // Counted against the peer's cap; false for an admitted direct peer at its cap, which must
  // wait for a place (or be refused).
  bool client_counted = false;
};

// Admits a connection from `peer` under the caps: a total place when one is free, and at once
// one of the peer's places when it is no proxy and below its cap.
admit_decision admit_peer(admission* a, const ip_addr& peer, int max_connections,
                          int max_connections_per_addr, const std::vector<ip_net>& trusted);

// Takes one of `client`'s `cap` places. False when it holds them all already.
bool take_client_place(admission* a, const ip_addr& client, int cap);

// Whether one more connection may wait for a per-address place: only `cap` may wait at once,
// since each holds a worker and a total place meanwhile.
bool may_wait_for_place(const admission& a, int cap);

// Gives back a connection's total place and, when `client_counted`, its place of `client`'s.
void give_back(admission* a, bool client_counted, const ip_addr& client);

// The places `client` holds now.
int places_held(const admission& a, const ip_addr& client);
