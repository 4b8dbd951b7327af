// The JSON API over real sockets against the in-process server, through a whole game: texts
// converted and escaped, the turn and the player to move following the moves, the stored turns
// listed, ETags that change exactly when the data does, 304s served while the game lock is held
// elsewhere, and unknown ids.
#include "api/games_api.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "db/game.h"
#include "db/generation.h"
#include "lib/log.h"
#include "server/config.h"
#include "server/server.h"
#include "tests/support/game_client.h"
#include "tests/support/json_reader.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

struct GamesApi : ::testing::Test {
  GamesApi() {
    set_log_file(dir.file("zts.log"), false);
    {
      mutex_lock lock(db_lock);
      games.clear();
    }
    clear_api_cache();  // the API takes its own lock before db_lock, never after
  }
  ~GamesApi() override {
    mutex_lock lock(db_lock);
    games.clear();
  }

  http_reply get(const std::string& target, const std::string& etag = "") {
    std::string request = "GET " + target + " HTTP/1.0\r\n";
    if (!etag.empty()) request += "If-None-Match: " + etag + "\r\n";
    return http_exchange(server.port(), request + "\r\n");
  }

  // The parsed body of a 200 reply, after checking the headers every API reply carries.
  json_value get_json(const std::string& target) {
    http_reply r = get(target);
    EXPECT_EQ(r.status, "200 OK") << target;
    EXPECT_EQ(r.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(r.header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(r.header("Cache-Control"), "no-cache");
    EXPECT_EQ(r.header("ETag").size(), 18u) << r.raw;
    json_value v;
    std::string error;
    EXPECT_TRUE(parse_json(r.body, &v, &error)) << error << "\n" << r.body;
    return v;
  }

  temp_dir dir;
  scoped_cwd cwd{dir.path};
  scoped_server server;
};

void send(uint16_t port, int op, const gametyp& g, const std::string& expected) {
  http_reply r = post_save(port, op, write_save(g));
  ASSERT_EQ(r.body, expected);
}

TEST_F(GamesApi, FollowsAGameFromCreationToItsEnd) {
  // Nothing yet: an empty list, and still an ETag to poll with.
  EXPECT_EQ(get("/api/games").body, "{\"games\":[]}");

  // Windows-1251 texts with quotes, a backslash and a control character in them.
  gametyp g = sample_game(3);
  g.name = "\xC1\xE8\xF2\xE2\xE0 \"1\"";  // Битва "1"
  g.descr = "back\\slash\x01";
  g.plrs[0].team_name = "\xCA\xF0\xE0\xF1\xED\xFB\xE5";  // Красные
  ASSERT_NO_FATAL_FAILURE(send(server.port(), 8, g, "ZTXS\n00\nOK\n"));
  g.server_id = "game_0";
  ASSERT_NO_FATAL_FAILURE(send(server.port(), 8, sample_game(2), "ZTXS\n00\nOK\n"));

  http_reply list = get("/api/games");
  EXPECT_NE(list.body.find("\"name\":\"Битва \\\"1\\\"\""), std::string::npos) << list.body;
  EXPECT_NE(list.body.find("\"description\":\"back\\\\slash\\u0001\""), std::string::npos);
  json_value v = get_json("/api/games");
  ASSERT_EQ(v["games"].items.size(), 2u);
  const json_value& first = v["games"][0];
  EXPECT_EQ(first["id"].number, 0);
  EXPECT_EQ(first["name"].text, "Битва \"1\"");
  EXPECT_EQ(first["status"].text, "in_play");
  EXPECT_EQ(first["status_code"].number, 0);
  EXPECT_EQ(first["turn"].number, 0);
  EXPECT_EQ(first["to_move"].number, 0);
  EXPECT_TRUE(first["winner"].is_null());
  ASSERT_EQ(first["players"].items.size(), 3u);
  EXPECT_EQ(first["players"][0]["team"].text, "Красные");
  EXPECT_EQ(first["players"][0]["color"].text, "#F08010");
  EXPECT_TRUE(first["players"][2]["in_game"].boolean);
  EXPECT_TRUE(first["url"].is_null()) << "no links without a public URL";
  // The time the first save was stored, to the second.
  struct stat st {};
  ASSERT_EQ(stat(dir.file("game_server/game_0/turns/turn_0_0.zts").c_str(), &st), 0);
  char when[32];
  tm utc{};
  gmtime_r(&st.st_mtim.tv_sec, &utc);
  strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  EXPECT_EQ(first["last_move"].text, when);

  // Polling: the same ETag while nothing changes, a bodiless 304 for it, a new one after a move.
  const std::string etag = list.header("ETag");
  EXPECT_EQ(get("/api/games").header("ETag"), etag);
  http_reply unchanged = get("/api/games", "\"other\", " + etag);
  EXPECT_EQ(unchanged.raw, "HTTP/1.0 304 Not Modified\r\nETag: " + etag +
                               "\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: no-cache\r\n"
                               "Connection: close\r\n\r\n");
  EXPECT_EQ(get("/api/games", "W/" + etag).status, "304 Not Modified");
  EXPECT_EQ(get("/api/games", "\"0000000000000000\"").status, "200 OK");

  // A 304 and a cached body need no game lock: both come while another thread holds it.
  const std::string game_etag = get("/api/games/0").header("ETag");
  {
    mutex_lock lock(db_lock);
    auto poll = std::async(std::launch::async, [&] {
      return get("/api/games", etag).status + "|" + get("/api/games/0").status;
    });
    ASSERT_EQ(poll.wait_for(5s), std::future_status::ready) << "the API waited for db_lock";
    EXPECT_EQ(poll.get(), "304 Not Modified|200 OK");
  }

  // Player 1 drops out during player 0's move: the move passes to player 2.
  g.plrs[1].out_flag = true;
  ASSERT_NO_FATAL_FAILURE(send(server.port(), 27, g, "ZTXS\n00\nOk\n"));
  EXPECT_EQ(get("/api/games", etag).status, "200 OK");
  EXPECT_NE(get("/api/games/0").header("ETag"), game_etag);
  json_value one = get_json("/api/games/0");
  EXPECT_EQ(one["to_move"].number, 2);
  EXPECT_FALSE(one["players"][1]["in_game"].boolean);
  ASSERT_EQ(one["turns"].items.size(), 2u);
  EXPECT_EQ(one["turns"][0]["file"].text, "turn_0_0.zts");
  EXPECT_EQ(one["turns"][1]["file"].text, "turn_0_2.zts");
  EXPECT_EQ(one["turns"][1]["turn"].number, 0);
  EXPECT_EQ(one["turns"][1]["player"].number, 2);
  EXPECT_FALSE(one["turns"][1]["opening"].boolean);
  EXPECT_EQ(
      one["turns"][1]["size"].number,
      static_cast<double>(read_file(dir.file("game_server/game_0/turns/turn_0_2.zts")).size()));
  EXPECT_EQ(one["turns"][1]["time"].text.size(), 20u);

  // Player 2 moves and leaves only player 0: the game ends with a winner and nobody to move.
  g.curplr = 2;
  g.plrs[2].out_flag = true;
  ASSERT_NO_FATAL_FAILURE(send(server.port(), 27, g, "ZTXS\n00\nOk\n"));
  zts_config linked;
  linked.public_url = "https://games.example.org";
  scoped_config config(linked);
  one = get_json("/api/games/0");
  EXPECT_EQ(one["status"].text, "finished");
  EXPECT_EQ(one["status_code"].number, 2);
  EXPECT_TRUE(one["to_move"].is_null());
  EXPECT_EQ(one["winner"].number, 0);
  EXPECT_EQ(one["url"].text, "https://games.example.org/api/games/0");
  ASSERT_EQ(one["turns"].items.size(), 2u) << "the last move replaces the file it continued";
  EXPECT_EQ(one["turns"][1]["url"].text,
            "https://games.example.org/gameserver_v2.php?op=29&fn=game_0&tn=0&pl=2");
  // A game still in play: op=29 would refuse its turns, so they get no link.
  json_value open_game = get_json("/api/games/1");
  EXPECT_EQ(open_game["url"].text, "https://games.example.org/api/games/1");
  EXPECT_TRUE(open_game["turns"][0]["url"].is_null());
  EXPECT_EQ(game_get(server.port(), "?op=29&fn=game_0&tn=0&pl=2").header("Content-Disposition"),
            "attachment; filename=\"turn_0_2.zts\"");

  // Ids that name no game get a JSON 404; paths beside the API are not the API's.
  for (const char* target : {"/api/games/2", "/api/games/abc", "/api/games/", "/api/games/-1",
                             "/api/games/99999999999"}) {
    http_reply r = get(target);
    EXPECT_EQ(r.status, "404 Not Found") << target;
    EXPECT_EQ(r.header("Content-Type"), "application/json; charset=utf-8") << target;
    EXPECT_EQ(r.header("Access-Control-Allow-Origin"), "*") << target;
    EXPECT_EQ(r.body, "{\"error\":\"unknown game\"}") << target;
  }
  EXPECT_EQ(get("/api/games?x=1").status, "200 OK");
  EXPECT_EQ(get("/api/gamesX").header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(get("/api").header("Content-Type"), "text/html; charset=utf-8");
}

TEST_F(GamesApi, CountsGamesByStatusFromItsCopy) {
  ASSERT_NO_FATAL_FAILURE(send(server.port(), 8, sample_game(2), "ZTXS\n00\nOK\n"));
  gametyp opening = sample_game(2);
  opening.moratorium = 3;
  ASSERT_NO_FATAL_FAILURE(send(server.port(), 8, opening, "ZTXS\n00\nOK\n"));
  EXPECT_EQ(api_games_by_status(), (status_counts{1, 1, 0, 0}));
  {
    mutex_lock lock(db_lock);
    games[0]->status = 3;
  }
  // A change made without moving the generation on is not seen: the copy is kept.
  EXPECT_EQ(api_games_by_status(), (status_counts{1, 1, 0, 0}));
  {
    mutex_lock lock(db_lock);
    bump_games_generation();
  }
  EXPECT_EQ(api_games_by_status(), (status_counts{0, 1, 0, 1}));
}

// Pollers of the list, of one game and of the game counts run while moves land: every reply is
// whole and parses (or is a 304 for the copy the poller holds), and the last reply shows the
// last move.
TEST_F(GamesApi, ConcurrentPollersAndMovesAgree) {
  gametyp g = sample_game(2);
  ASSERT_NO_FATAL_FAILURE(send(server.port(), 8, g, "ZTXS\n00\nOK\n"));
  g.server_id = "game_0";
  constexpr int moves = 40;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, polls{0};
  std::vector<std::thread> pollers;
  for (const char* target : {"/api/games", "/api/games/0"}) {
    pollers.emplace_back([&, target] {
      std::string etag;
      while (!done) {
        http_reply r = get(target, etag);
        json_value v;
        std::string error;
        if (r.status == "200 OK" && parse_json(r.body, &v, &error)) {
          etag = r.header("ETag");
        } else if (r.status != "304 Not Modified") {
          ++bad;
        }
        ++polls;
      }
    });
  }
  pollers.emplace_back([&] {
    while (!done) {
      status_counts c = api_games_by_status();
      if (c[0] != 1) ++bad;
    }
  });
  for (int i = 0; i < moves; ++i) {
    g.turn = i / 2;
    g.curplr = i % 2;
    ASSERT_NO_FATAL_FAILURE(send(server.port(), 27, g, "ZTXS\n00\nOk\n"));
  }
  done = true;
  for (std::thread& t : pollers) t.join();
  EXPECT_EQ(bad, 0);
  EXPECT_GT(polls, 0);
  json_value last = get_json("/api/games/0");
  EXPECT_EQ(last["turn"].number, moves / 2);
  EXPECT_EQ(last["to_move"].number, 0);
  EXPECT_EQ(last["turns"].items.size(), static_cast<size_t>(moves + 1));
}

}  // namespace
