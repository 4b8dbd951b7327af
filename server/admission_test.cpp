#include "server/admission.h"

#include <gtest/gtest.h>

#include <string>

namespace {

ip_addr ip(const std::string& text) {
  ip_addr a;
  EXPECT_TRUE(parse_ip(text, &a)) << text;
  return a;
}

// One script under caps of 3 in total and 2 per address, 10.0.0.9 a trusted proxy: each step
// admits a peer, names a proxied connection's client, or gives a place back, and the counts
// after it are checked.
TEST(Admission, CapsHoldInTotalAndPerClientAndPlacesComeBack) {
  std::vector<ip_net> trusted(1);
  ASSERT_TRUE(parse_ip_net("10.0.0.9", &trusted[0]));
  enum op { admit, name_client, release_client, release_total };
  struct {
    op what;
    const char* addr;
    bool ok;       // admitted / place taken
    bool proxied;  // admit: from the proxy
    bool counted;  // admit: counted against the peer at once
    int active;    // after the step
    int held;      // places `addr` holds after the step
  } steps[] = {
      {admit, "10.0.0.1", true, false, true, 1, 1},
      {admit, "10.0.0.1", true, false, true, 2, 2},
      {admit, "10.0.0.1", true, false, false, 3, 2},          // at its cap: admitted, must wait
      {admit, "10.0.0.2", false, false, false, 3, 0},         // the total cap: closed at once
      {release_total, "10.0.0.1", true, false, false, 2, 2},  // the one that waited in vain
      {admit, "10.0.0.9", true, true, false, 3, 0},           // the proxy counts in total only
      {name_client, "10.0.0.1", false, false, false, 3, 2},   // its client is at the cap
      {release_client, "10.0.0.1", true, false, false, 2, 1},
      {name_client, "10.0.0.1", true, false, false, 2, 2},
      {release_client, "10.0.0.1", true, false, false, 1, 1},
      {release_client, "10.0.0.1", true, false, false, 0, 0},
      {admit, "::ffff:10.0.0.9", true, true, false, 1, 0},  // the proxy seen on IPv6
  };
  admission a;
  int step = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE("step " + std::to_string(step++));
    const ip_addr addr = ip(s.addr);
    switch (s.what) {
      case admit: {
        admit_decision d = admit_peer(&a, addr, 3, 2, trusted);
        EXPECT_EQ(d.admitted, s.ok);
        EXPECT_EQ(d.proxied, s.proxied);
        EXPECT_EQ(d.client_counted, s.counted);
        break;
      }
      case name_client:
        EXPECT_EQ(take_client_place(&a, addr, 2), s.ok);
        break;
      case release_client:
        give_back(&a, true, addr);
        break;
      case release_total:
        give_back(&a, false, addr);
        break;
    }
    EXPECT_EQ(a.active, s.active);
    EXPECT_EQ(places_held(a, addr), s.held);
  }
  // An address that holds nothing keeps no entry.
  EXPECT_TRUE(a.by_addr.empty());
  EXPECT_TRUE(may_wait_for_place(a, 1));
  a.waiting_for_place = 1;
  EXPECT_FALSE(may_wait_for_place(a, 1));
}

}  // namespace
