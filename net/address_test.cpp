#include "net/address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Address, EndpointsReadBackInCanonicalFormOrAreRefused) {
  struct {
    const char* in;
    const char* canonical;  // nullptr: refused
  } cases[] = {
      {"1.2.3.4:80", "1.2.3.4:80"},
      {"0.0.0.0:0", "0.0.0.0:0"},
      {"[::]:80", "[::]:80"},
      {"[2001:DB8:0:0::1]:65535", "[2001:db8::1]:65535"},
      {"[::ffff:10.0.0.1]:8080", "[::ffff:10.0.0.1]:8080"},
      {"1.2.3.4", nullptr},
      {"1.2.3.4:", nullptr},
      {"1.2.3.4:65536", nullptr},
      {"1.2.3.4:+80", nullptr},
      {"1.2.3.4:080000", nullptr},
      {"1.2.3:80", nullptr},
      {"01.2.3.4:80", nullptr},
      {"localhost:80", nullptr},
      {"::1:80", nullptr},
      {"[::1]80", nullptr},
      {"[::1]:", nullptr},
      {"[1.2.3.4]:80", nullptr},
      {"[fe80::1%eth0]:80", nullptr},
      {"", nullptr},
      {"[", nullptr},
  };
  for (const auto& c : cases) {
    ip_endpoint ep;
    bool ok = parse_endpoint(c.in, &ep);
    ASSERT_EQ(ok, c.canonical != nullptr) << c.in;
    if (!ok) continue;
    EXPECT_EQ(format_endpoint(ep), c.canonical) << c.in;
    ip_endpoint again;
    ASSERT_TRUE(parse_endpoint(format_endpoint(ep), &again));
    EXPECT_EQ(again, ep);

    socklen_t len = 0;
    sockaddr_storage sa = endpoint_to_sockaddr(ep, &len);
    ip_endpoint back;
    ASSERT_TRUE(endpoint_from_sockaddr(reinterpret_cast<sockaddr*>(&sa), len, &back));
    EXPECT_EQ(back, ep) << c.in;
    EXPECT_FALSE(endpoint_from_sockaddr(reinterpret_cast<sockaddr*>(&sa), len - 1, &back));
  }
  ip_addr addr;
  EXPECT_FALSE(parse_ip(std::string(300, '1'), &addr));
  EXPECT_FALSE(parse_ip("1.2.3.4 ", &addr));
}

TEST(Address, RangesMatchByPrefixAcrossMappedAddresses) {
  struct {
    const char* net;
    const char* addr;
    bool inside;
  } cases[] = {
      {"127.0.0.0/8", "127.255.0.9", true},
      {"127.0.0.0/8", "128.0.0.1", false},
      {"127.0.0.0/8", "::ffff:127.0.0.1", true},  // IPv4 peer on an IPv6 listener
      {"127.0.0.0/8", "::1", false},
      {"10.0.0.1", "10.0.0.1", true},
      {"10.0.0.1", "10.0.0.2", false},
      {"10.1.2.3/8", "10.200.0.0", true},  // host bits past the prefix are ignored
      {"192.168.0.0/23", "192.168.1.255", true},
      {"192.168.0.0/23", "192.168.2.0", false},
      {"0.0.0.0/0", "8.8.8.8", true},
      {"0.0.0.0/0", "2001:db8::1", false},
      {"::1", "::1", true},
      {"::1", "::2", false},
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"::ffff:10.0.0.0/104", "10.9.9.9", true},
      {"::/0", "::ffff:1.2.3.4", false},  // mapped peers count as IPv4
  };
  for (const auto& c : cases) {
    ip_net net;
    ip_addr addr;
    ASSERT_TRUE(parse_ip_net(c.net, &net)) << c.net;
    ASSERT_TRUE(parse_ip(c.addr, &addr)) << c.addr;
    EXPECT_EQ(ip_in_net(addr, net), c.inside) << c.addr << " in " << c.net;
  }

  ip_net net;
  ASSERT_TRUE(parse_ip_net("127.0.0.0/8", &net));
  EXPECT_EQ(format_ip_net(net), "127.0.0.0/8");
  ASSERT_TRUE(parse_ip_net("::1", &net));
  EXPECT_EQ(net.prefix, 128);
  EXPECT_EQ(format_ip_net(net), "::1");
  for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/8x", "/8",
                          "10.0.0.0/0008", "any", ""}) {
    EXPECT_FALSE(parse_ip_net(bad, &net)) << bad;
  }
}

}  // namespace
