// Routing over real TCP connections to an in-process server.
#include "server/routing.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "db/game.h"
#include "db/generation.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "server/config.h"
#include "server/server.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"

namespace {

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++n;
  }
  return n;
}

std::string page_404(const std::string& named) {
  return "<html><head><title>404 Page not found</title></head><body><table width=100% "
         "height=100%><tr valign=middle><td><center><font size=20><b>Error 404</b><br>Page \"" +
         named + "\" not found</font></center></td></tr></table></body></html>";
}

std::string reply_utf8(const std::string& status, const std::string& body) {
  return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\n" + body;
}

struct Routing : ::testing::Test {
  Routing() { set_log_file(dir.file("zts.log"), false); }
  std::string log() const {
    return file_exists(dir.file("zts.log")) ? read_file(dir.file("zts.log")) : "";
  }

  temp_dir dir;
  scoped_cwd cwd{dir.path};
  scoped_server server;
};

TEST_F(Routing, PathsReachTheirHandlerByExactPrefix) {
  struct {
    std::string target;
    std::string raw_reply;
  } cases[] = {
      {"/nothing", reply_utf8("404 Not Found", page_404("/nothing"))},
      {"/GameServer_v2.php?op=777",
       reply_utf8("404 Not Found", page_404("/GameServer_v2.php?op=777"))},
      {"/zts.lo", reply_utf8("404 Not Found", page_404("/zts.lo"))},
      {"/", reply_utf8("404 Not Found", page_404("/"))},
      {"/gameserver_v2.php?op=777", reply_utf8("200 OK", "ZTNS")},
      {"/gameserver_v2.phpX", reply_utf8("200 OK", "ZTXS Unknown error")},
      {"/gameserver_v2.php", reply_utf8("200 OK", "ZTXS Unknown error")},
      {"/ZTSV_log.php?mode=1", reply_utf8("404 Not Found", page_404("/ZTSV_log.php?mode=1"))},
      {"/ztsv_log.ph?mode=1", reply_utf8("404 Not Found", page_404("/ztsv_log.ph?mode=1"))},
  };
  for (const auto& c : cases) {
    http_reply r = http_get(server.port(), c.target);
    EXPECT_TRUE(r.complete) << c.target;
    EXPECT_EQ(r.raw, c.raw_reply) << c.target;
  }
}

// What the loops may answer themselves: only what is served from memory. A move or a download
// answered there would hold up every connection of that loop while it waits for a disk or a
// game's lock.
TEST(RoutingWaits, OnlyRequestsThatNeverWaitStayOnTheLoops) {
  for (const char* path :
       {"/gameserver_v2.php?op=8", "/gameserver_v2.php?op=27", "/gameserver_v2.php?op=29&fn=game_1",
        "/gameserver_v2.php?op= 27 ", "/ztsv_log.php?mode=2", "/zts.log", "/api/games",
        "/api/games/3", "/metrics"}) {
    EXPECT_TRUE(route_may_wait(path)) << path;
  }
  for (const char* path :
       {"/gameserver_v2.php?op=777", "/gameserver_v2.php?op=11", "/gameserver_v2.php?op=12",
        "/gameserver_v2.php?op=666", "/gameserver_v2.php?op=777&op=27", "/gameserver_v2.php",
        "/nothing", "/"}) {
    EXPECT_FALSE(route_may_wait(path)) << path;
  }
  // A newest-turn download waits only while its game is being moved; one that is refused
  // (no such game) never does.
  {
    std::lock_guard lock(db_lock);
    games.resize(1);
    new_game_info(0).name = "g";
    bump_games_generation();  // the kept lists must not outlive this change
  }
  EXPECT_FALSE(route_may_wait("/gameserver_v2.php?op=28&fn=game_0"));
  EXPECT_FALSE(route_may_wait("/gameserver_v2.php?op=28&fn=game_7"));
  {
    mutex_lock moving(game_lock(0));
    EXPECT_TRUE(route_may_wait("/gameserver_v2.php?op=28&fn=game_0"));
  }
  EXPECT_FALSE(route_may_wait("/gameserver_v2.php?op=28&fn=game_0"));
  std::lock_guard lock(db_lock);
  games.clear();
  bump_games_generation();
}

// The status pages get the target after the prefix, and a game id that names nothing gives an
// empty page rather than no reply.
TEST_F(Routing, StatusPagesPrefixReachesTheLogServer) {
  for (const char* target : {"/ztsv_log.php", "/ztsv_log.phpX?mode=1", "/ztsv_log.php?mode=2"}) {
    http_reply r = http_get(server.port(), target);
    EXPECT_TRUE(r.complete) << target;
    EXPECT_EQ(r.status, "200 OK") << target;
    EXPECT_EQ(r.header("Content-Type"), "text/html") << target;
  }
  EXPECT_NE(http_get(server.port(), "/ztsv_log.php?mode=1").body.find("<html>\n"),
            std::string::npos);
  EXPECT_EQ(http_get(server.port(), "/ztsv_log.php?mode=2&id=0").body, "");
  EXPECT_EQ(count_of(log(), ":[LOGPAGE   ]:mode=1\r\n"), 2u);
  EXPECT_EQ(count_of(log(), ":[LOGPAGE   ]:\r\n"), 1u);
}

TEST_F(Routing, NotFoundPageEscapesTheEchoedPath) {
  http_reply r = http_get(server.port(), "/a<b>&\"c\"");
  EXPECT_EQ(r.status, "404 Not Found");
  EXPECT_EQ(r.body, page_404("/a&lt;b&gt;&amp;&quot;c&quot;"));
}

TEST_F(Routing, MethodLineWithoutBlankAfterTargetNamesAnEmptyPage) {
  http_reply r = http_exchange(server.port(), "GET /x\r\n\r\n");
  EXPECT_EQ(r.raw, reply_utf8("404 Not Found", page_404("")));
}

TEST_F(Routing, RefusedOperationIsAnsweredAndLoggedAsLogErr) {
  http_reply r = http_get(server.port(), "/gameserver_v2.php?op=13");
  EXPECT_EQ(r.body, "ZTXS Unknown error");
  EXPECT_EQ(r.header("Content-Length"), "18");
  std::string text = log();
  EXPECT_EQ(count_of(text, "]:op=13\r\n"), 1u);
  EXPECT_EQ(count_of(text, ":[LOG-ERR   ]:ZTXS Unknown error\r\n"), 1u);
}

TEST_F(Routing, RawLogIsShownAsEscapedHtmlWithAndWithoutQuery) {
  write_test_file(dir.file("zts.log"), "a<b>\r\nc&d\r\n");
  http_reply r = http_get(server.port(), "/zts.log");
  EXPECT_EQ(r.raw,
            "HTTP/1.0 200 OK\r\nContent-Length: 25\r\nContent-Type: text/html\r\n"
            "Connection: close\r\n\r\na&lt;b&gt;<br>c&amp;d<br>");
  EXPECT_EQ(count_of(log(), ":[-DBG-     ]:Log requested\r\n"), 1u);

  http_reply with_query = http_get(server.port(), "/zts.log?anything");
  EXPECT_EQ(with_query.status, "200 OK");
  EXPECT_NE(with_query.body.find("Log requested<br>"), std::string::npos);
}

TEST_F(Routing, MissingLogGetsNoReply) {
  client_socket c = connect_to(server.port());
  send_bytes(c, "GET /zts.log HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(closed_without_reply(c, 5000));
}

TEST_F(Routing, UnreadableLogClosesTheConnectionAndTheServerGoesOn) {
  // A socket file exists but cannot be opened for reading, even by root.
  std::string path = dir.file("log.sock");
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  set_log_file(path, false);

  client_socket c = connect_to(server.port());
  send_bytes(c, "GET /zts.log HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(closed_without_reply(c, 5000));
  EXPECT_EQ(http_get(server.port(), "/gameserver_v2.php?op=777").body, "ZTNS");
  close(fd);
}

// /metrics: the allowed addresses get the scrape, with what was just served counted in it;
// everyone else gets the same 404 page as any unknown path.
TEST_F(Routing, MetricsOnlyForAllowedAddressesAndCountingWhatWasServed) {
  if (!metrics_enabled()) GTEST_SKIP() << "built with metrics off";
  auto value = [](const std::string& scrape, const std::string& series) {
    size_t at = scrape.find("\n" + series + " ");
    return at == std::string::npos ? -1.0 : std::stod(scrape.substr(at + series.size() + 2));
  };
  auto scrape_from = [&](const std::string& source_ip) {
    return http_get(server.port(), "/metrics", {.source_ip = source_ip});
  };
  const std::string unknown_op =
      "zts_requests_total{op=\"other\",outcome=\"refused\",route=\"game\"}";
  const std::string bad_save = "zts_refusals_total{kind=\"unreadable_save\"}";
  const std::string before = scrape_from("127.0.0.1").body;
  http_get(server.port(), "/gameserver_v2.php?op=13");
  http_get(server.port(), "/gameserver_v2.php?op=27");
  http_get(server.port(), "/nothing");

  http_reply r = scrape_from("127.0.0.2");  // the default allows all of 127.0.0.0/8
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(r.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(value(r.body, unknown_op), std::max(value(before, unknown_op), 0.0) + 1);
  EXPECT_EQ(value(r.body, bad_save), value(before, bad_save) + 1);
  EXPECT_GE(
      value(r.body, "zts_requests_total{op=\"none\",outcome=\"not_found\",route=\"not_found\"}"),
      1);
  EXPECT_GE(value(r.body, "zts_connections_active"), 1);  // this scrape's own connection
  EXPECT_GT(value(r.body, "zts_bytes_received_total"), value(before, "zts_bytes_received_total"));

  zts_config only;
  only.metrics_allow.resize(1);
  ASSERT_TRUE(parse_ip_net("127.0.0.3", &only.metrics_allow[0]));
  scoped_config config(only);
  EXPECT_EQ(scrape_from("127.0.0.3").status, "200 OK");
  EXPECT_EQ(scrape_from("127.0.0.1").raw, reply_utf8("404 Not Found", page_404("/metrics")));
  only.metrics_allow.clear();
  set_current_config(only);
  EXPECT_EQ(scrape_from("127.0.0.3").status, "404 Not Found");
}

}  // namespace
