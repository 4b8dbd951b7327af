// Who holds a game up, through the real binary: players' times on their turns from when the
// server stored each save, following a revert and a final move; the list's filters and pages;
// the histogram of turn times.
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/json_reader.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string ok_move = "ZTXS\n00\nOk\n";

struct TurnTimes : ::testing::Test {
  void SetUp() override {
    if (!net.error.empty()) GTEST_SKIP() << net.error;
    // On loopback, so that /metrics answers.
    write_test_file(dir.file("zts.conf"), "listen = [\"127.0.0.1:80\"]\n");
    server = std::make_unique<server_process>(dir.path);
  }

  std::string save(const std::string& name, int turn, int curplr, bool end = false) {
    save_recipe s = sample_save_recipe(3);
    s.game.name = name;
    s.game.save_time = static_cast<int32_t>(::time(nullptr));
    s.game.turn = turn;
    s.game.curplr = curplr;
    if (end) s.game.plrs[1].out_flag = s.game.plrs[2].out_flag = true;
    return write_save(s);
  }
  void create(const std::string& name) {
    ASSERT_EQ(post_save(80, 8, save(name, 0, 0)).body, "ZTXS\n00\nOK\n") << name;
  }
  void move(int turn, int curplr, bool end = false) {
    ASSERT_EQ(post_save(80, 27, save(alpha, turn, curplr, end)).body, ok_move);
  }
  json_value get_json(const std::string& target, http_reply* reply = nullptr) {
    http_reply r = http_get(80, target);
    EXPECT_EQ(r.status, "200 OK") << target << ": " << r.body;
    json_value v;
    std::string error;
    EXPECT_TRUE(parse_json(r.body, &v, &error)) << error << ": " << r.body;
    if (reply) *reply = r;
    return v;
  }
  std::vector<int> ids(const std::string& query, std::string* next = nullptr) {
    json_value v = get_json("/api/games" + query);
    std::vector<int> out;
    for (const json_value& g : v["games"].items) out.push_back(static_cast<int>(g["id"].number));
    if (next) *next = v["next"].is_null() ? "null" : std::to_string(int(v["next"].number));
    return out;
  }
  int admin(const std::string& args) {
    const std::string command = "cd '" + dir.path + "' && '" + ZTS_BUILD_DIR +
                                "/zts_admin' --socket admin.sock " + args + " >/dev/null 2>&1";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  // When the server stored game_0's file (milliseconds).
  int64_t stored_ms(const std::string& file) {
    struct stat st {};
    EXPECT_EQ(::stat(dir.file("game_server/game_0/" + file).c_str(), &st), 0) << file;
    return int64_t{st.st_mtim.tv_sec} * 1000 + st.st_mtim.tv_nsec / 1000000;
  }
  static int64_t seconds_between(int64_t from_ms, int64_t to_ms) {
    return std::llround(static_cast<double>(to_ms - from_ms) / 1000.0);
  }
  static std::string iso(int64_t ms) {
    const time_t t = ms / 1000;
    tm utc{};
    gmtime_r(&t, &utc);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
  }
  static void wait_s(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

  const std::string alpha = "Alpha_\xCB\xE8\xE3\xE0";  // "Alpha_Лига" in Windows-1251
  private_network net;
  temp_dir dir;
  std::unique_ptr<server_process> server;
};

TEST_F(TurnTimes, FollowTheStoredSavesThroughARevertAndTheEnd) {
  create(alpha);
  wait_s(1.0);
  move(0, 0);  // player 0 took about 1 s
  wait_s(2.0);
  move(0, 1);  // player 1 about 2 s
  wait_s(1.0);
  move(0, 2);  // player 2 about 1 s; player 0 on turn again

  json_value g = get_json("/api/games/0");
  const int64_t t00 = stored_ms("turns/turn_0_0.zts"), t01 = stored_ms("turns/turn_0_1.zts"),
                t02 = stored_ms("turns/turn_0_2.zts"), t10 = stored_ms("turns/turn_1_0.zts");
  const int64_t expected[3] = {seconds_between(t00, t01), seconds_between(t01, t02),
                               seconds_between(t02, t10)};
  const double slept[3] = {1, 2, 1};
  for (int p = 0; p < 3; ++p) {
    SCOPED_TRACE(p);
    const json_value& t = g["players"][p]["turn_times"];
    EXPECT_EQ(t["count"].number, 1);
    EXPECT_EQ(t["median"].number, expected[p]);
    EXPECT_EQ(t["mean"].number, expected[p]);
    EXPECT_EQ(t["longest"].number, expected[p]);
    EXPECT_NEAR(t["longest"].number, slept[p], 1.0);
  }
  EXPECT_EQ(g["to_move"].number, 0);
  EXPECT_EQ(g["on_turn_since"].text, iso(t10));
  EXPECT_EQ(g["on_turn_since"].text, g["last_move"].text);
  EXPECT_EQ(g["turns_per_day"]["last_7_days"].number, 0.43);  // 3 moves in the week
  EXPECT_EQ(g["turns_per_day"]["overall"].number, 3);         // in less than a day

  // Reverted a second later: player 2 is on turn again since turn_0_2 was stored, and has taken
  // no turn.
  wait_s(1.0);
  ASSERT_EQ(admin("revert 0"), 0);
  g = get_json("/api/games/0");
  EXPECT_EQ(g["to_move"].number, 2);
  EXPECT_EQ(g["on_turn_since"].text, iso(t02));
  EXPECT_EQ(g["players"][2]["turn_times"]["count"].number, 0);
  EXPECT_EQ(g["players"][0]["turn_times"]["count"].number, 1);
  EXPECT_EQ(g["turns_per_day"]["overall"].number, 2);
  wait_s(1.0);
  move(0, 2);  // counted from turn_0_2, the save that handed player 2 the turn
  const int64_t replayed = stored_ms("turns/turn_1_0.zts");
  g = get_json("/api/games/0");
  EXPECT_EQ(g["players"][2]["turn_times"]["longest"].number, seconds_between(t02, replayed));
  EXPECT_GE(g["players"][2]["turn_times"]["longest"].number, 2);

  // The final move replaces turn_1_0.zts, the file its mover downloaded; the game ends with
  // nobody on turn and player 0's second turn counted from when that file was first stored.
  wait_s(1.0);
  move(1, 0, true);
  http_reply before;
  g = get_json("/api/games/0", &before);
  EXPECT_EQ(g["status"].text, "finished");
  EXPECT_TRUE(g["on_turn_since"].is_null());
  const json_value& p0 = g["players"][0]["turn_times"];
  EXPECT_EQ(p0["count"].number, 2);
  EXPECT_EQ(p0["longest"].number,
            std::max(expected[0], seconds_between(replayed, stored_ms("turns/turn_1_0.zts"))));
  EXPECT_NEAR(p0["longest"].number, 1, 1.0);
  // What the moves added in memory is what the files say: an operator's look drops the kept
  // times, and the game reads the same from disk.
  ASSERT_EQ(admin("game 0"), 0);
  EXPECT_EQ(http_get(80, "/api/games/0").body, before.body);

  // Every stored move was observed once, the reverted one too.
  const std::string metrics = http_get(80, "/metrics").body;
  EXPECT_NE(metrics.find("\nzts_turn_time_seconds_count 5\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("\nzts_turn_time_seconds_bucket{le=\"60\"} 5\n"), std::string::npos);

  // The list: filters by status and name (either case, Russian letters too), pages by id.
  create("Beta");
  create("\xE0\xEB\xFC\xF4\xE0_2");  // "альфа_2"
  ASSERT_EQ(admin("archive 1"), 0);
  std::string next;
  EXPECT_EQ(ids("?status=finished"), std::vector<int>{0});
  EXPECT_EQ(ids("?status=archived"), std::vector<int>{1});
  EXPECT_EQ(ids("?status=open"), std::vector<int>{2});
  EXPECT_EQ(ids("?q=ALPHA"), std::vector<int>{0});
  EXPECT_EQ(ids("?q=a+%D0%9B"), std::vector<int>{0});  // "a Л": the name's "_" reads as a blank
  EXPECT_EQ(ids("?q=%D0%BB%D0%98%D0%B3%D0%90"), std::vector<int>{0});        // "лИгА"
  EXPECT_EQ(ids("?q=%D0%90%D0%9B%D0%AC%D0%A4%D0%90"), std::vector<int>{2});  // "АЛЬФА"
  EXPECT_EQ(ids("?q=a&status=open"), std::vector<int>{});
  EXPECT_EQ(ids("?limit=2", &next), (std::vector<int>{0, 1}));
  EXPECT_EQ(next, "1");
  EXPECT_EQ(ids("?limit=2&after=1", &next), std::vector<int>{2});
  EXPECT_EQ(next, "null");
  EXPECT_EQ(ids("?limit=1&after=0&status=open", &next), std::vector<int>{2});
  EXPECT_EQ(next, "null");
  for (const char* bad : {"?limit=0", "?limit=1001", "?status=closed", "?after=x"}) {
    EXPECT_EQ(http_get(80, std::string("/api/games") + bad).status, "400 Bad Request") << bad;
  }
  // Without those parameters, the whole list as always, each game saying who is on turn since
  // when; a page has its own ETag and its 304.
  http_reply whole;
  json_value all = get_json("/api/games", &whole);
  EXPECT_EQ(http_get(80, "/api/games?callback=x").body, whole.body);
  EXPECT_EQ(whole.body.find("\"next\""), std::string::npos);
  ASSERT_EQ(all["games"].items.size(), 3u);
  EXPECT_TRUE(all["games"][0]["on_turn_since"].is_null());
  EXPECT_TRUE(all["games"][1]["on_turn_since"].is_null());
  EXPECT_EQ(all["games"][2]["on_turn_since"].text, all["games"][2]["last_move"].text);
  http_reply page;
  get_json("/api/games?limit=1&after=1", &page);
  EXPECT_NE(page.header("ETag"), whole.header("ETag"));
  const http_reply again = http_exchange(
      80, "GET /api/games?limit=1&after=1 HTTP/1.0\r\nIf-None-Match: " + page.header("ETag") +
              "\r\n\r\n");
  EXPECT_EQ(again.status, "304 Not Modified");
}

}  // namespace
