#include "pages/log_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "db/game.h"
#include "db/generation.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "pages/status_pages.h"
#include "tests/support/temp_dir.h"

namespace {

std::string reply_of(const std::string& page) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(page.size()) +
         "\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n" + page;
}

class LogServer : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_log = log_file_name();
    set_log_file(dir.file("zts.log"), false);
    std::lock_guard hold{db_lock};
    bump_games_generation();  // the list pages kept from another test are out of date
    games.clear();
    games.resize(5);
    for (int slot : {0, 3}) {
      game_info& g = new_game_info(slot);
      g.name = "game_" + std::to_string(slot);
      g.status = slot == 0 ? 4 : 0;  // slot 0 shows on the all-games page only
      g.turn = 2;
      g.plr_cnt = 1;
      g.teams = {"Red"};
      g.colors = {"FF0000"};
      g.plr_states = {true};
    }
  }
  void TearDown() override {
    std::lock_guard hold{db_lock};
    bump_games_generation();
    games.clear();
    set_log_file(previous_log, false);
  }

  // The messages of the log's LOGPAGE lines, in order.
  std::vector<std::string> logged_pages() const {
    std::vector<std::string> out;
    if (!file_exists(dir.file("zts.log"))) return out;
    const std::string text = read_file(dir.file("zts.log"));
    const std::string tag = ":[LOGPAGE   ]:";
    for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at)) {
      at += tag.size();
      out.push_back(text.substr(at, text.find("\r\n", at) - at));
    }
    return out;
  }

  temp_dir dir;
  std::string previous_log;
};

// The pages as built now, under db_lock as the server builds them.
std::string page_now(const std::function<std::string()>& build) {
  std::lock_guard hold{db_lock};
  return build();
}

TEST_F(LogServer, ModeChoosesThePage) {
  const std::string games_page = page_now([] { return log_page_games(0); });
  const std::string all_page = page_now([] { return log_page_all(1); });
  const std::string none_page = log_page_none();
  auto game_page = [](int32_t pm, int32_t id) {
    return page_now([=] { return log_page_game(pm, id); });
  };
  ASSERT_NE(games_page, all_page);
  struct {
    std::string query, page;
  } cases[] = {
      {"", games_page},
      {"?", games_page},
      {"?mode=0", games_page},
      {"?mode=-1", games_page},
      {"?mode=abc", games_page},
      {"?MODE=1", games_page},
      {"?Mode=2&id=3", games_page},
      {"?mode=1", all_page},
      {"?mode=1&mode=2", all_page},
      {"?x=1&mode=1&mode=0", all_page},
      {"?mode=7", none_page},
      {"?mode=-2", none_page},
      {"?mode=3", none_page},
      {"?mode=2&pm=1&id=3", game_page(1, 3)},
      {"?id=3&mode=2", game_page(0, 3)},
      {"?mode=2&pm=-1&id=3", game_page(0, 3)},
      {"?mode=2&pm=7&id=3&id=0", game_page(7, 3)},
      {"?mode=2&id=3&junk", game_page(0, 3)},
      {"?mode=2&id=0", game_page(0, 0)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(joined(*do_log_server(c.query)), reply_of(c.page)) << c.query;
  }
  EXPECT_NE(game_page(1, 3).find("<a href=\"ztsv_log.php?mode=1\">"), std::string::npos);
}

TEST_F(LogServer, NoGameGivesTheEmptyReply) {
  const std::string empty =
      "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nContent-Type: text/html\r\n"
      "Connection: close\r\n\r\n";
  for (const char* query :
       {"?mode=2", "?mode=2&id=-1", "?mode=2&id=1", "?mode=2&id=5", "?mode=2&id=2"}) {
    EXPECT_EQ(joined(*do_log_server(query)), empty) << query;
  }
}

TEST_F(LogServer, EveryRequestLogsItsPairs) {
  for (const char* query : {"", "?mode=1&mode=2", "?mode=2&id=3&junk&pm=1", "?a=&=b&c=1=2"}) {
    do_log_server(query);
  }
  EXPECT_EQ(logged_pages(),
            (std::vector<std::string>{"", "mode=1,mode=2", "mode=2,id=3", "a=,=b,c=1=2"}));
}

}  // namespace
