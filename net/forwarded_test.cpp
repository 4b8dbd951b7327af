#include "net/forwarded.h"

#include <gtest/gtest.h>

namespace {

ip_addr ip(const std::string& text) {
  ip_addr a;
  EXPECT_TRUE(parse_ip(text, &a)) << text;
  return a;
}

TEST(Forwarded, ClientIsTheRightMostForwardedAddressThatIsNotATrustedProxy) {
  std::vector<ip_net> trusted(2);
  ASSERT_TRUE(parse_ip_net("127.0.0.0/8", &trusted[0]));
  ASSERT_TRUE(parse_ip_net("fd00::/8", &trusted[1]));
  struct {
    const char* peer;
    const char* forwarded_for;
    const char* client;
  } cases[] = {
      {"10.0.0.1", "1.2.3.4", "10.0.0.1"},  // not from a proxy: never believed
      {"127.0.0.1", "", "127.0.0.1"},
      {"127.0.0.1", "1.2.3.4", "1.2.3.4"},
      {"127.0.0.1", "6.6.6.6, 1.2.3.4", "1.2.3.4"},             // the left part is the client's own
      {"127.0.0.1", "6.6.6.6, 1.2.3.4, 127.0.0.5", "1.2.3.4"},  // a chain of proxies
      {"127.0.0.1", "6.6.6.6,1.2.3.4,fd00::7", "1.2.3.4"},
      {"::ffff:127.0.0.1", "2001:db8::9", "2001:db8::9"},
      {"127.0.0.1", "[2001:db8::9]:4711, 1.2.3.4:80", "1.2.3.4"},
      {"127.0.0.1", "127.0.0.9, 127.0.0.8", "127.0.0.9"},  // all proxies: the furthest
      {"127.0.0.1", "1.2.3.4, unknown", "127.0.0.1"},      // unreadable hop: stop before it
      {"127.0.0.1", "1.2.3.4, garbage, 127.0.0.3", "127.0.0.3"},
      {"127.0.0.1", "::ffff:5.6.7.8", "5.6.7.8"},
      {"127.0.0.1", " , 1.2.3.4 ,, ", "1.2.3.4"},  // empty hops are skipped
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_ip(client_address(ip(c.peer), c.forwarded_for, trusted)), c.client)
        << c.peer << " / " << c.forwarded_for;
  }
  EXPECT_EQ(format_ip(client_address(ip("127.0.0.1"), "1.2.3.4", {})), "127.0.0.1");
}

}  // namespace
