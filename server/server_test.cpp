// The listener, its loops and its workers over real sockets: limits, time-outs, stopping.
#include "server/server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "db/game.h"
#include "db/generation.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "server/config.h"
#include "server/listener_test_support.h"
#include "server/routing.h"
#include "tests/support/command.h"
#include "tests/support/http_client.h"
#include "tests/support/real_server.h"
#include "tests/support/temp_dir.h"

namespace {

using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

using Server = ListenerFixture;
using ServerConcurrent = ListenerFixture;
using ServerLimits = ListenerFixture;

TEST_F(Server, StartsOnAnEphemeralPortAndRefusesAfterStop) {
  ASSERT_NE(server.port(), 0);
  EXPECT_EQ(http_get(server.port(), "/gameserver_v2.php?op=777").body, "ZTNS");
  uint16_t port = server.port();
  EXPECT_TRUE(stop_server(&server.handle));
  EXPECT_THROW(connect_to(port), std::runtime_error);
  EXPECT_TRUE(stop_server(&server.handle));  // a second stop does nothing
}

TEST_F(Server, BindingATakenPortThrows) {
  EXPECT_THROW(start_server("127.0.0.1", server.port()), io_error);
}

TEST_F(Server, StopClosesIdleConnectionsAndLetsRequestsInFlightFinish) {
  client_socket idle = connect_to(server.port());
  client_socket in_flight = connect_to(server.port());
  std::string head = "POST /nothing HTTP/1.0\r\nContent-Length: 8\r\n\r\n";
  send_bytes(in_flight, head);
  ASSERT_TRUE(wait_until([&] { return active_connections(server.handle) == 2; }));

  bool drained = false;
  std::thread stopper([&] { drained = stop_server(&server.handle); });
  EXPECT_TRUE(closed_without_reply(idle, 5000));
  std::this_thread::sleep_for(milliseconds(100));
  send_bytes(in_flight, "\r\nZTNX12");
  http_reply r = read_reply(in_flight);
  stopper.join();
  EXPECT_TRUE(drained);
  EXPECT_EQ(r.status, "404 Not Found");
}

std::vector<client_socket> open_silent(const scoped_server& server, const std::string& source_ip,
                                       int count, int expected_active) {
  std::vector<client_socket> socks;
  for (int i = 0; i < count; ++i)
    socks.push_back(connect_to(server.port(), {.source_ip = source_ip}));
  EXPECT_TRUE(wait_until([&] { return active_connections(server.handle) == expected_active; }));
  return socks;
}

TEST_F(ServerLimits, OneAddressGetsAtMost64Connections) {
  auto held = open_silent(server, "127.0.0.2", default_max_connections_per_addr,
                          default_max_connections_per_addr);
  client_socket extra = connect_to(server.port(), {.source_ip = "127.0.0.2"});
  EXPECT_TRUE(closed_without_reply(extra, 5000));
  for (auto& s : held) EXPECT_TRUE(stays_silent(s, 0));

  // Other addresses are still served.
  EXPECT_EQ(http_exchange(server.port(), op777, {.source_ip = "127.0.0.3"}).body, "ZTNS");

  // A freed place can be taken again.
  held.pop_back();
  ASSERT_TRUE(wait_until(
      [&] { return active_connections(server.handle) == default_max_connections_per_addr - 1; }));
  EXPECT_EQ(http_exchange(server.port(), op777, {.source_ip = "127.0.0.2"}).body, "ZTNS");
}

TEST_F(ServerLimits, FloodPastTheThreadLimitIsClosedAtOnceAndTheServerRecovers) {
  constexpr int max_connections = default_max_connections;
  constexpr int max_connections_per_addr = default_max_connections_per_addr;
  // Both ends of every connection live in this process: raise the soft limit where allowed.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 4 * max_connections && files.rlim_max > files.rlim_cur) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4 * max_connections);
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (files.rlim_cur < 4 * max_connections) GTEST_SKIP() << "needs more descriptors";

  std::vector<client_socket> held;
  int addr = 10;
  while (static_cast<int>(held.size()) < max_connections) {
    int n = std::min(max_connections_per_addr - 1, max_connections - static_cast<int>(held.size()));
    auto more = open_silent(server, "127.0.0." + std::to_string(addr++), n,
                            static_cast<int>(held.size()) + n);
    for (auto& s : more) held.push_back(std::move(s));
  }
  ASSERT_EQ(active_connections(server.handle), max_connections);

  for (int i = 0; i < 20; ++i) {
    client_socket extra = connect_to(server.port(), {.source_ip = "127.0.1.1"});
    EXPECT_TRUE(closed_without_reply(extra, 5000));
  }
  EXPECT_EQ(active_connections(server.handle), max_connections);

  held.clear();
  ASSERT_TRUE(wait_until([&] { return active_connections(server.handle) == 0; }));
  EXPECT_EQ(http_exchange(server.port(), op777).body, "ZTNS");
}

ip_addr ip(const std::string& text) {
  ip_addr a;
  EXPECT_TRUE(parse_ip(text, &a)) << text;
  return a;
}

ip_endpoint endpoint(const std::string& text) {
  ip_endpoint ep;
  EXPECT_TRUE(parse_endpoint(text, &ep)) << text;
  return ep;
}

// One op=777 read only as far as its Content-Length, as a client that goes on the moment it has
// its reply does (without waiting for the close). True when "ZTNS" came.
bool ping_without_waiting_for_close(uint16_t port, const std::string& source_ip) {
  client_socket c = connect_to(port, {.source_ip = source_ip});
  if (!send_bytes(c, op777)) return false;
  std::string got;
  char buf[512];
  for (;;) {
    size_t head_end = got.find("\r\n\r\n");
    if (head_end != std::string::npos && got.size() >= head_end + 4 + 4) {
      return got.substr(head_end + 4) == "ZTNS";
    }
    pollfd p{c.fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    got.append(buf, static_cast<size_t>(n));
  }
}

// Clients on one address, as many as its cap, that reconnect the moment they have their reply:
// each finds its previous connection's place given back (or waits the moment that takes).
TEST_F(ServerConcurrent, ClientsThatReconnectAtOnceAreNeverRefused) {
  constexpr int clients = 64;
  constexpr int rounds = 100;
  zts_config tight_cap;
  tight_cap.max_connections_per_addr = clients;
  scoped_config config(tight_cap);
  scoped_server tight({endpoint("127.0.0.1:0")});
  std::vector<std::thread> threads;
  std::vector<int> answered(clients, 0);
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i)
        answered[t] += ping_without_waiting_for_close(tight.port(), "127.0.0.2");
    });
  }
  for (auto& t : threads) t.join();
  for (int t = 0; t < clients; ++t) EXPECT_EQ(answered[t], rounds) << t;
  EXPECT_TRUE(wait_until([&] { return connections_from(tight.handle, ip("127.0.0.2")) == 0; }));
}

// Several listening sockets, one of them IPv6, under caps and timeouts changed while running.
TEST_F(ServerLimits, ListensOnIpv4AndIpv6WithCapsAndTimeoutsChangedLive) {
  zts_config options;
  options.listen = {endpoint("127.0.0.1:0"), endpoint("[::1]:0")};
  options.max_connections_per_addr = 2;
  scoped_config config(options);
  std::optional<scoped_server> both;
  try {
    both.emplace(options.listen);
  } catch (const io_error& e) {
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  server_handle& h = both->handle;
  ASSERT_EQ(h.ports.size(), 2u);
  uint16_t v6_port = h.ports[1];
  client_options v6;
  v6.host = "::1";
  EXPECT_EQ(http_exchange(h.ports[0], op777).body, "ZTNS");
  EXPECT_EQ(http_exchange(v6_port, op777, v6).body, "ZTNS");

  // The per-address cap holds on IPv6; IPv4 loopback is another client.
  std::vector<client_socket> held;
  for (int i = 0; i < 2; ++i) held.push_back(connect_to(v6_port, v6));
  ASSERT_TRUE(wait_until([&] { return connections_from(h, ip("::1")) == 2; }));
  client_socket third = connect_to(v6_port, v6);
  EXPECT_TRUE(closed_without_reply(third, 5000));
  EXPECT_EQ(http_exchange(h.ports[0], op777).body, "ZTNS");

  // A shorter first-byte timeout and a raised cap apply to new connections only.
  options.first_byte_timeout = milliseconds(300);
  options.max_connections_per_addr = 3;
  set_current_config(options);
  auto start = steady::now();
  client_socket quick = connect_to(v6_port, v6);
  EXPECT_TRUE(closed_without_reply(quick, 5000));
  EXPECT_GE(steady::now() - start, milliseconds(250));
  for (auto& s : held) EXPECT_TRUE(stays_silent(s, 0));
  EXPECT_EQ(connections_from(h, ip("::1")), 2);

  // The endpoints bound stay while running; the rest still changes.
  zts_config moved = options;
  moved.listen = {endpoint("127.0.0.1:0")};
  moved.max_connections_per_addr = 1;
  moved.first_byte_timeout = default_first_byte_timeout;
  set_current_config(moved);
  client_socket over = connect_to(v6_port, v6);
  EXPECT_TRUE(closed_without_reply(over, 5000));
  EXPECT_EQ(http_exchange(h.ports[0], op777).body, "ZTNS");

  // A stop closes the connections waiting for their first byte at once.
  EXPECT_TRUE(stop_server(&h));
  for (auto& s : held) EXPECT_TRUE(closed_without_reply(s, 1000));
  EXPECT_THROW(connect_to(v6_port, v6), std::runtime_error);
}

bool have_command(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

void replace_all(std::string* text, const std::string& from, const std::string& to) {
  for (size_t p = text->find(from); p != std::string::npos; p = text->find(from, p + to.size())) {
    text->replace(p, from.size(), to);
  }
}

// deploy/nginx-zts.conf as the README installs it: HTTPS on 443 with a self-signed
// certificate, forwarding to the server, whose per-address cap then counts the clients behind
// the proxy and never the addresses a client writes itself.
TEST_F(Server, HttpsProxyExampleForwardsAndTheCapCountsClientsBehindIt) {
  for (const char* tool : {"nginx", "openssl", "curl"}) {
    if (!have_command(tool))
      GTEST_SKIP() << tool << " is not installed (Debian nginx-light, openssl, curl)";
  }
  private_network net;
  if (!net.entered || !net.error.empty()) GTEST_SKIP() << net.error;

  const std::string d = dir.path;
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
                         "-keyout " +
                         d + "/key.pem -out " + d + "/cert.pem 2>/dev/null")
                            .c_str()),
            0);
  zts_config options;
  options.trusted_proxies.resize(1);
  ASSERT_TRUE(parse_ip_net("127.0.0.1", &options.trusted_proxies[0]));
  options.max_connections_per_addr = 2;
  scoped_config config(options);
  scoped_server proxied({endpoint("127.0.0.1:0")});

  std::string site = read_file(std::string(ZTS_SOURCE_DIR) + "/deploy/nginx-zts.conf");
  replace_all(&site, "/etc/zts/tls/", d + "/");
  replace_all(&site, "127.0.0.1:8080", "127.0.0.1:" + std::to_string(proxied.port()));
  write_file_atomic(d + "/site.conf", site);
  std::string temp_paths;
  for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    temp_paths += std::string(kind) + "_temp_path " + d + "/" + kind + ";\n";
  }
  write_file_atomic(d + "/nginx.conf", "user root;\nworker_processes 1;\npid " + d +
                                           "/nginx.pid;\nerror_log " + d +
                                           "/error.log;\nevents { worker_connections 64; }\n"
                                           "http {\naccess_log off;\n" +
                                           temp_paths + "include " + d + "/site.conf;\n}\n");
  ASSERT_EQ(std::system(("nginx -c " + d + "/nginx.conf -p " + d).c_str()), 0)
      << read_file(d + "/error.log");
  struct nginx_stop {
    std::string pid_file;
    ~nginx_stop() {
      if (file_exists(pid_file)) kill(std::stoi(read_file(pid_file)), SIGQUIT);
    }
  } stop_nginx{d + "/nginx.pid"};

  // "<status> <body>" of one request through the proxy from `from`.
  auto through = [&](const std::string& from, const std::string& target,
                     const std::string& extra = "") {
    return run_command("curl -sk --max-time 20 --interface " + from + " " + extra +
                       " -w ' %{http_code}' 'https://127.0.0.1" + target + "'")
        .out;
  };
  ASSERT_TRUE(wait_until([&] {
    return through("127.0.0.7", "/gameserver_v2.php?op=777") == "ZTNS 200";
  })) << read_file(d + "/error.log");
  // A body goes through whole (the server cuts the save out of a form upload).
  write_file_atomic(d + "/body", "\r\nZTNX12");
  EXPECT_EQ(through("127.0.0.7", "/nothing", "--data-binary @" + d + "/body"),
            not_found_page("/nothing") + " 404");

  // 127.0.0.7 holds its two places directly: through the proxy it is still 127.0.0.7.
  std::vector<client_socket> held;
  for (int i = 0; i < 2; ++i)
    held.push_back(connect_to(proxied.port(), {.source_ip = "127.0.0.7"}));
  ASSERT_TRUE(wait_until([&] { return connections_from(proxied.handle, ip("127.0.0.7")) == 2; }));
  EXPECT_TRUE(through("127.0.0.7", "/gameserver_v2.php?op=777").ends_with(" 502"));
  EXPECT_EQ(through("127.0.0.8", "/gameserver_v2.php?op=777"), "ZTNS 200");
  // Written by a client itself the header is appended to, not believed...
  EXPECT_EQ(through("127.0.0.8", "/gameserver_v2.php?op=777", "-H 'X-Forwarded-For: 127.0.0.7'"),
            "ZTNS 200");
  // ...nor from a peer that is not a trusted proxy.
  EXPECT_EQ(http_exchange(proxied.port(),
                          "GET /gameserver_v2.php?op=777 HTTP/1.0\r\n"
                          "X-Forwarded-For: 127.0.0.8\r\n\r\n",
                          {.source_ip = "127.0.0.7"})
                .body,
            "");

  // Without trusting the proxy every request through it counts as the proxy's.
  options.trusted_proxies.clear();
  set_current_config(options);
  EXPECT_EQ(through("127.0.0.7", "/gameserver_v2.php?op=777"), "ZTNS 200");
  // The place is given back once the reply is sent, which the client may see a moment earlier.
  EXPECT_TRUE(wait_until([&] { return connections_from(proxied.handle, ip("127.0.0.1")) == 0; }));
}

}  // namespace
