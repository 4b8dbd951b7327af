// The listener and its connection threads over real sockets: limits, time-outs, stopping.
#include "server/server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "db/game.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"

namespace {

using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

const std::string op777 = "GET /gameserver_v2.php?op=777 HTTP/1.0\r\n\r\n";

bool wait_until(const std::function<bool()>& done, int ms = 10000) {
  auto deadline = steady::now() + milliseconds(ms);
  while (!done()) {
    if (steady::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

struct ServerFixture : ::testing::Test {
  ServerFixture() { set_log_file(dir.file("zts.log"), false); }

  temp_dir dir;
  scoped_cwd cwd{dir.path};
  scoped_server server;
};

using Server = ServerFixture;
using ServerConcurrent = ServerFixture;
using ServerLimits = ServerFixture;

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

TEST_F(Server, ClientThatClosesEarlyGetsNoReplyAndFreesItsThread) {
  {
    client_socket silent = connect_to(server.port());
    client_socket partial = connect_to(server.port());
    send_bytes(partial, "POST /gameserver_v2.php?op=27 HTTP/1.0\r\nContent-Length: 100\r\n\r\n");
    ASSERT_TRUE(wait_until([&] { return active_connections(server.handle) == 2; }));
    shutdown_send(partial);
    EXPECT_TRUE(closed_without_reply(partial, 5000));
  }
  EXPECT_TRUE(wait_until([&] { return active_connections(server.handle) == 0; }));
}

TEST_F(Server, OversizedRequestsAreRefusedBeforeAnyBodyIsRead) {
  client_socket big_body = connect_to(server.port());
  send_bytes(big_body,
             "POST /gameserver_v2.php?op=27 HTTP/1.0\r\nContent-Length: 67108865\r\n\r\n--");
  EXPECT_TRUE(closed_without_reply(big_body, 5000));

  client_socket big_head = connect_to(server.port());
  send_bytes(big_head, "GET /x HTTP/1.0\r\nX-Pad: " + std::string(70 * 1024, 'a'));
  EXPECT_TRUE(closed_without_reply(big_head, 5000));

  // At the limit itself a body is still awaited (and here completed).
  client_socket at_limit = connect_to(server.port());
  send_bytes(at_limit, "POST /x HTTP/1.0\r\nContent-Length: 67108864\r\n\r\n");
  EXPECT_TRUE(stays_silent(at_limit, 200));
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

TEST_F(ServerConcurrent, SilentClientDoesNotDelayOthers) {
  client_socket silent = connect_to(server.port());
  for (int i = 0; i < 3; ++i) {
    auto start = steady::now();
    EXPECT_EQ(http_exchange(server.port(), op777).body, "ZTNS");
    EXPECT_LT(steady::now() - start, milliseconds(2000));
  }
  EXPECT_TRUE(stays_silent(silent, 100));  // still open, still waiting
}

TEST_F(ServerConcurrent, ManyClientsAtOnceEachGetTheirReply) {
  constexpr int clients = 32;
  constexpr int rounds = 8;
  std::vector<std::thread> threads;
  std::vector<int> answered(clients, 0);
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
        if (http_exchange(server.port(), op777).body == "ZTNS") ++answered[t];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int t = 0; t < clients; ++t) EXPECT_EQ(answered[t], rounds) << t;
  std::string log = read_file(dir.file("zts.log"));
  size_t lines = 0;
  for (size_t p = log.find("]:SVOP_ID\r\n"); p != std::string::npos;
       p = log.find("]:SVOP_ID\r\n", p + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(clients * rounds));
}

// A reply is sent after db_lock is released: a client that never reads a long game list holds
// its own thread only, while the lock stays free for other requests and the hourly pass.
TEST_F(ServerConcurrent, ClientThatNeverReadsItsReplyHoldsNoLock) {
  struct many_games {
    many_games() {
      std::lock_guard lock(db_lock);
      games.resize(3000);
      for (int32_t k = 0; k < 3000; ++k) new_game_info(k).name = std::string(5000, 'n');
    }
    ~many_games() {
      std::lock_guard lock(db_lock);
      games.clear();
    }
  } listed;
  client_socket stuck = connect_to(server.port());
  int small = 4096;
  setsockopt(stuck.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  send_bytes(stuck, "GET /gameserver_v2.php?op=11 HTTP/1.0\r\n\r\n");
  // The first bytes of the reply arriving means it has been built and is being sent.
  ASSERT_TRUE(wait_until(
      [&] {
        pollfd p{stuck.fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
      },
      60000));

  EXPECT_TRUE(wait_until(
      [] {
        if (!db_lock.try_lock()) return false;
        db_lock.unlock();
        return true;
      },
      2000));
  // The game protocol takes the lock too.
  EXPECT_EQ(http_exchange(server.port(), op777).body, "ZTNS");
  // Still sending: 15 MB cannot be buffered.
  EXPECT_TRUE(wait_until([&] { return active_connections(server.handle) == 1; }));
}

// Opens `count` silent connections from `source_ip` and waits until the server holds them all.
std::vector<client_socket> open_silent(const scoped_server& server, const std::string& source_ip,
                                       int count, int expected_active) {
  std::vector<client_socket> socks;
  for (int i = 0; i < count; ++i)
    socks.push_back(connect_to(server.port(), {.source_ip = source_ip}));
  EXPECT_TRUE(wait_until([&] { return active_connections(server.handle) == expected_active; }));
  return socks;
}

TEST_F(ServerLimits, OneAddressGetsAtMost64Connections) {
  auto held = open_silent(server, "127.0.0.2", max_connections_per_addr, max_connections_per_addr);
  client_socket extra = connect_to(server.port(), {.source_ip = "127.0.0.2"});
  EXPECT_TRUE(closed_without_reply(extra, 5000));
  for (auto& s : held) EXPECT_TRUE(stays_silent(s, 0));

  // Other addresses are still served.
  EXPECT_EQ(http_exchange(server.port(), op777, {.source_ip = "127.0.0.3"}).body, "ZTNS");

  // A freed place can be taken again.
  held.pop_back();
  ASSERT_TRUE(wait_until(
      [&] { return active_connections(server.handle) == max_connections_per_addr - 1; }));
  EXPECT_EQ(http_exchange(server.port(), op777, {.source_ip = "127.0.0.2"}).body, "ZTNS");
}

TEST_F(ServerLimits, FloodPastTheThreadLimitIsClosedAtOnceAndTheServerRecovers) {
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

}  // namespace
