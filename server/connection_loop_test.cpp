// The connection loops over real sockets: requests in every phase at once, clients that stall,
// close early or never read.
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
#include "tests/support/http_client.h"
#include "tests/support/real_server.h"
#include "tests/support/temp_dir.h"

namespace {

using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

using ConnectionLoop = ListenerFixture;
using ConnectionLoopConcurrent = ListenerFixture;
TEST_F(ConnectionLoop, ClientThatClosesEarlyGetsNoReplyAndFreesItsThread) {
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

TEST_F(ConnectionLoop, OversizedRequestsAreRefusedBeforeAnyBodyIsRead) {
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

TEST_F(ConnectionLoopConcurrent, SilentClientDoesNotDelayOthers) {
  client_socket silent = connect_to(server.port());
  for (int i = 0; i < 3; ++i) {
    auto start = steady::now();
    EXPECT_EQ(http_exchange(server.port(), op777).body, "ZTNS");
    EXPECT_LT(steady::now() - start, milliseconds(2000));
  }
  EXPECT_TRUE(stays_silent(silent, 100));  // still open, still waiting
}

TEST_F(ConnectionLoopConcurrent, ManyClientsAtOnceEachGetTheirReply) {
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

// `count` games with long names for the scope, so that a list is megabytes long.
struct many_games {
  explicit many_games(int32_t count) {
    std::lock_guard lock(db_lock);
    games.resize(static_cast<size_t>(count));
    for (int32_t k = 0; k < count; ++k) new_game_info(k).name = std::string(5000, 'n');
    bump_games_generation();  // the kept lists must not outlive this change
  }
  ~many_games() {
    std::lock_guard lock(db_lock);
    games.clear();
    bump_games_generation();
  }
};

// True once `sock` has bytes to read.
bool readable(const client_socket& sock) {
  pollfd p{sock.fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// A reply is sent after db_lock is released: a client that never reads a long game list holds
// its own connection only, while the lock stays free for other requests and the hourly pass.
TEST_F(ConnectionLoopConcurrent, ClientThatNeverReadsItsReplyHoldsNoLock) {
  many_games listed(3000);
  client_socket stuck = connect_to(server.port());
  int small = 4096;
  setsockopt(stuck.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  send_bytes(stuck, "GET /gameserver_v2.php?op=11 HTTP/1.0\r\n\r\n");
  // The first bytes of the reply arriving means it has been built and is being sent.
  ASSERT_TRUE(wait_until([&] { return readable(stuck); }, 60000));

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

// Connections in every phase at once, a handful per loop: lists of megabytes read slowly, a
// request arriving a byte at a time, an upload whose body comes in two parts (its reading is
// handed to a worker half-way), and plain requests. Each gets its whole reply, the slow reader
// last, and every place is given back.
TEST_F(ConnectionLoopConcurrent, ConnectionsInEveryPhaseAtOnceEachGetTheirWholeReply) {
  many_games listed(1500);
  const std::string list = http_get(server.port(), "/gameserver_v2.php?op=11").body;
  ASSERT_GT(list.size(), 7500000u);  // more than the socket buffers hold

  std::vector<client_socket> slow;
  for (int i = 0; i < 4; ++i) {
    slow.push_back(connect_to(server.port()));
    int small = 65536;
    setsockopt(slow.back().fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    send_bytes(slow.back(), "GET /gameserver_v2.php?op=11 HTTP/1.0\r\n\r\n");
  }
  for (auto& s : slow) ASSERT_TRUE(wait_until([&] { return readable(s); }));

  client_socket trickled = connect_to(server.port());
  for (char c : op777) {
    send_bytes(trickled, std::string(1, c));
    std::this_thread::sleep_for(milliseconds(1));
  }
  const std::string body = "\r\nZTNX" + std::string(300000, 'x');
  client_socket upload = connect_to(server.port());
  send_bytes(upload, "POST /ztsv_log.php?mode=0 HTTP/1.0\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 1000));
  std::this_thread::sleep_for(milliseconds(100));
  send_bytes(upload, body.substr(1000));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(http_exchange(server.port(), op777).body, "ZTNS");

  EXPECT_EQ(read_reply(trickled).body, "ZTNS");
  EXPECT_NE(read_reply(upload).body.find("</html>"), std::string::npos);
  // The lists are still being sent: read them now, a piece at a time from each in turn.
  EXPECT_TRUE(wait_until([&] { return active_connections(server.handle) == 4; }));
  std::vector<std::string> raw(slow.size());
  for (bool open = true; open;) {
    open = false;
    for (size_t i = 0; i < slow.size(); ++i) {
      if (slow[i].fd < 0) continue;
      char buf[65536];
      pollfd p{slow[i].fd, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) break;
      ssize_t n = recv(slow[i].fd, buf, sizeof buf, 0);
      if (n > 0) raw[i].append(buf, static_cast<size_t>(n));
      if (n <= 0) slow[i] = client_socket();
      open = open || n > 0;
    }
  }
  for (const std::string& r : raw) EXPECT_TRUE(split_reply(r).body == list);
  EXPECT_TRUE(wait_until([&] { return active_connections(server.handle) == 0; }));
}

// Opens `count` silent connections from `source_ip` and waits until the server holds them all.
}  // namespace
