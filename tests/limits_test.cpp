// The real binary under misbehaving clients: hundreds of connections that send nothing or one
// byte a second must not keep normal clients from being served, one address cannot take more
// than its share of the connection slots, and a full server closes extra connections at once
// and takes new ones again as soon as places free up.
//
// Each test runs the server in a network namespace of its own (the test's thread enters it
// while the test lasts), so port 80 is free whatever else runs on this machine. Clients look
// like different hosts by binding to 127.0.0.2, 127.0.0.3, ...
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "lib/file_io.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The server's limits, as an outsider sees them.
constexpr int total_slots = 512;
constexpr int slots_per_addr = 64;
constexpr uint16_t server_port = 80;
// A loaded machine may be slow, but never this slow to answer a small request.
constexpr int slow_reply_ms = 5000;

const std::string server_binary = server_binary_path();
const std::string op777 = "GET /gameserver_v2.php?op=777 HTTP/1.0\r\n\r\n";

class Limits : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(file_exists(server_binary)) << server_binary << " is not built";
    ASSERT_EQ(net.error, "");
    server = std::make_unique<server_process>(dir.path);
  }
  // The server must stop cleanly on SIGTERM after all this; a sanitizer build that found an
  // error ends otherwise and says why on its console.
  void TearDown() override {
    if (!server) return;
    server->stop();
    const int status = server->exit_status;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "server ended with status " << status << ":\n"
        << read_file(dir.file("console.txt"));
  }

  client_options from(const std::string& addr) const {
    client_options o;
    o.host = host_ipv4();
    o.source_ip = addr;
    o.timeout_ms = slow_reply_ms;
    return o;
  }

  // `n` connections from `addr` that send nothing (or, with `first`, just those bytes).
  std::vector<client_socket> hold(const std::string& addr, int n, const std::string& first = "") {
    std::vector<client_socket> held;
    for (int i = 0; i < n; ++i) {
      held.push_back(connect_to(server_port, from(addr)));
      if (!first.empty()) send_bytes(held.back(), first);
    }
    return held;
  }

  // op=777 from `addr`, retried for a few seconds: a place given back is free only once the
  // server's thread for it has ended.
  bool served_soon(const std::string& addr) {
    const auto give_up = steady::now() + 5s;
    do {
      if (http_exchange(server_port, op777, from(addr)).body == "ZTNS") return true;
      std::this_thread::sleep_for(50ms);
    } while (steady::now() < give_up);
    return false;
  }

  private_network net;
  temp_dir dir;
  std::unique_ptr<server_process> server;
};

// Connections the server has closed (or answered) among `socks`, without waiting.
int closed_count(std::vector<client_socket>& socks) {
  int closed = 0;
  for (client_socket& s : socks) {
    pollfd p{s.fd, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) ++closed;
  }
  return closed;
}

double median_ms(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

TEST_F(Limits, FiveHundredSlowClientsLeaveNormalOnesServedAndAFullServerRefusesAtOnce) {
  const std::string mover = "127.0.0.2";
  // Saves carry the time they were made: an old one would let the server close the game as stale.
  gametyp game = sample_game(2);
  game.save_time = static_cast<int32_t>(time(nullptr));
  ASSERT_EQ(post_save(server_port, 8, write_save(game), from(mover)).body, "ZTXS\n00\nOK\n");
  // One round: a ping, the newest turn and the next move, each timed.
  int32_t turn = 0, curplr = 0;
  auto play_round = [&](std::vector<double>* ping_ms) {
    auto t0 = steady::now();
    EXPECT_EQ(http_exchange(server_port, op777, from(mover)).body, "ZTNS");
    ping_ms->push_back(std::chrono::duration<double, std::milli>(steady::now() - t0).count());
    http_reply r = game_get(server_port, "?op=28&fn=game_0", from(mover));
    EXPECT_TRUE(r.complete && r.status == "200 OK") << r.raw;
    gametyp move = game;
    move.turn = turn;
    move.curplr = curplr;
    EXPECT_EQ(post_save(server_port, 27, write_save(move), from(mover)).body, "ZTXS\n00\nOk\n");
    if (++curplr == 2) {
      curplr = 0;
      ++turn;
    }
  };
  std::vector<double> alone;
  for (int i = 0; i < 10; ++i) play_round(&alone);

  // 250 silent and 250 trickling connections, 50 per address from 127.0.0.10 on.
  std::vector<client_socket> silent, trickling;
  for (int a = 0; a < 5; ++a) {
    auto s = hold("127.0.0." + std::to_string(10 + a), 50);
    auto t = hold("127.0.0." + std::to_string(15 + a), 50, "G");
    std::move(s.begin(), s.end(), std::back_inserter(silent));
    std::move(t.begin(), t.end(), std::back_inserter(trickling));
  }
  std::atomic<bool> stop{false};
  std::thread trickler([&] {
    const std::string head = "GET /gameserver_v2.php?op=777 HTTP/1.0\r\nX-Slow: ";
    for (size_t sent = 1; !stop; ++sent) {
      for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(100ms);
      const char byte = sent < head.size() ? head[sent] : 'a';
      for (client_socket& t : trickling) send(t.fd, &byte, 1, MSG_NOSIGNAL);
    }
  });

  std::vector<double> beside;
  for (int i = 0; i < 10; ++i) play_round(&beside);
  stop = true;
  trickler.join();
  EXPECT_LT(median_ms(beside), 10 * median_ms(alone) + 50)
      << "alone " << median_ms(alone) << " ms, beside 500 slow clients " << median_ms(beside);
  EXPECT_LT(*std::max_element(beside.begin(), beside.end()), slow_reply_ms);
  EXPECT_EQ(closed_count(silent), 0) << "silent clients were closed before their time";
  EXPECT_EQ(closed_count(trickling), 0) << "trickling clients were closed before their time";
  EXPECT_EQ(read_file(dir.file("game_server/game_0/state.txt")).substr(0, 17),
            "turn:10\ncurplr:0\n");

  // Fill the last places: then a connection from yet another address is closed at once.
  std::this_thread::sleep_for(1s);  // the mover's last connection gives its place back
  auto rest = hold("127.0.0.20", total_slots - 500);
  client_socket extra = connect_to(server_port, from("127.0.0.21"));
  EXPECT_TRUE(closed_without_reply(extra, slow_reply_ms)) << "a 513th connection was kept";
  EXPECT_EQ(closed_count(rest), 0);

  // Places given back are taken again.
  silent.resize(silent.size() - 5);
  EXPECT_TRUE(served_soon("127.0.0.21"));
}

TEST_F(Limits, OneAddressHoldsAtMostSixtyFourSlotsWhileOthersAreServed) {
  auto held = hold("127.0.0.2", slots_per_addr);
  client_socket extra = connect_to(server_port, from("127.0.0.2"));
  EXPECT_TRUE(closed_without_reply(extra, slow_reply_ms)) << "a 65th connection was kept";
  EXPECT_EQ(http_exchange(server_port, op777, from("127.0.0.3")).body, "ZTNS");
  EXPECT_EQ(closed_count(held), 0) << "the 64 held connections were closed";

  // The same address gets in again once one of its connections ends.
  held.pop_back();
  EXPECT_TRUE(served_soon("127.0.0.2"));
}

}  // namespace
