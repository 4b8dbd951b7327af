// The sender against real receivers on loopback: what is announced and when, retries, a restart,
// a reload, a hanging target and HTTPS with a certificate the configuration trusts.
#include "notify/sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>

#include "db/game.h"
#include "lib/asys.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "notify/state_store.h"
#include "tests/support/http_receiver.h"
#include "tests/support/json_reader.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

struct NotifySender : ::testing::Test {
  NotifySender() {
    set_log_file(dir.file("zts.log"), false);
    mutex_lock lock(db_lock);
    games.clear();
  }
  ~NotifySender() override {
    stop_notify();
    set_server_clock_override(std::nullopt);
    mutex_lock lock(db_lock);
    games.clear();
  }

  // Creates or changes game `id` the way a move or the hourly pass would.
  void set_game(int32_t id, int32_t status, int32_t turn, int32_t curplr,
                std::vector<bool> in_game = {true, true, true}, int32_t winner = 0) {
    mutex_lock lock(db_lock);
    set_game_locked(id, status, turn, curplr, std::move(in_game), winner);
  }
  void set_game_locked(int32_t id, int32_t status, int32_t turn, int32_t curplr,
                       std::vector<bool> in_game = {true, true, true}, int32_t winner = 0) {
    if (games.size() <= static_cast<size_t>(id)) games.resize(static_cast<size_t>(id) + 1);
    game_info& g =
        games[static_cast<size_t>(id)] ? *games[static_cast<size_t>(id)] : new_game_info(id);
    g.name = "league_" + std::to_string(id);
    g.plr_cnt = static_cast<int32_t>(in_game.size());
    g.teams = {"Red", "Green", "Blue"};
    g.teams.resize(in_game.size());
    g.status = status;
    g.turn = turn;
    g.curplr = curplr;
    g.winner = winner;
    g.plr_states = in_game;
  }

  notify_config config_for(const std::vector<std::string>& urls) {
    notify_config c;
    for (const std::string& url : urls)
      c.targets.push_back({.url = url,
                           .format = notify_format::json,
                           .game_ids = {},
                           .name_pattern = {},
                           .label = {}});
    c.public_url = "https://games.example.org";
    return c;
  }
  static std::shared_ptr<const notify_config> shared(notify_config c) {
    return std::make_shared<const notify_config>(std::move(c));
  }

  temp_dir dir;
  scoped_cwd cwd{dir.path};
};

json_value body_of(const received_request& r) {
  json_value v;
  std::string error;
  EXPECT_TRUE(parse_json(r.body, &v, &error)) << error;
  return v;
}

// "event game turn player" of each request from `from` on.
std::vector<std::string> summary(http_receiver& hook, size_t from = 0) {
  std::vector<std::string> out;
  std::vector<received_request> all = hook.requests();
  for (size_t i = from; i < all.size(); ++i) {
    json_value v = body_of(all[i]);
    out.push_back(v["event"].text + " " + std::to_string(int(v["game"]["id"].number)) + " " +
                  std::to_string(int(v["turn"].number)) + " " +
                  (v["player"].is_null() ? "-" : std::to_string(int(v["player"].number))));
  }
  return out;
}

using strings = std::vector<std::string>;

TEST_F(NotifySender, AnnouncesNewestStatesRetriesAndSurvivesARestart) {
  http_receiver hook;
  set_game(0, 0, 5, 2);  // there before the target: taken as already announced
  const notify_stats before = read_notify_stats();
  start_notify(shared(config_for({hook.url("/hook/SECRET")})), "game_server");
  const std::string state_dir = target_state_dir("game_server", hook.url("/hook/SECRET"));
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(hook.requests().empty());
  EXPECT_TRUE(file_exists(state_dir + "/baseline"));

  set_game(1, 1, 0, 0);  // a new game
  ASSERT_TRUE(hook.wait_for(1, 5s));
  // Three quick moves in game 0 between two looks: one message, for the newest.
  {
    mutex_lock lock(db_lock);
    set_game_locked(0, 0, 6, 0);
    set_game_locked(0, 0, 6, 1);
    set_game_locked(0, 0, 6, 2, {true, false, true});
  }
  ASSERT_TRUE(hook.wait_for(2, 5s));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(summary(hook), (strings{"new_game 1 0 0", "player_out 0 6 2"}));
  EXPECT_EQ(hook.requests()[0].target, "/hook/SECRET");
  EXPECT_EQ(hook.requests()[0].header("Content-Type"), "application/json");
  EXPECT_TRUE(read_file(state_dir + "/game_0").starts_with("0 6 2 0 101 "));

  // A failing target gets the same message again, later, until it takes it.
  hook.set_answer(receiver_answer::fail);
  set_game(0, 0, 7, 0, {true, false, true});
  ASSERT_TRUE(hook.wait_for(4, 10s));
  auto all = hook.requests();
  EXPECT_EQ(body_of(all[2])["event_id"].text, body_of(all[3])["event_id"].text);
  hook.set_answer(receiver_answer::ok);
  ASSERT_TRUE(hook.wait_for(5, 15s));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(summary(hook, 2).back(), "turn 0 7 0");
  const size_t delivered = hook.requests().size();

  // A 429's Retry-After is waited out.
  hook.set_answer(receiver_answer::busy, 4);
  set_game(0, 0, 7, 2, {true, false, true});
  ASSERT_TRUE(hook.wait_for(delivered + 1, 5s));
  hook.set_answer(receiver_answer::ok);
  const auto busy_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(hook.wait_for(delivered + 2, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - busy_at, 3s);

  // A redirect is not followed and not retried: one "ERR" line with scheme, host and format only.
  hook.set_answer(receiver_answer::redirect);
  set_game(0, 2, 7, 2, {false, false, true}, 2);
  ASSERT_TRUE(hook.wait_for(delivered + 3, 5s));
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(hook.requests().size(), delivered + 3);
  const std::string log = read_file(dir.file("zts.log"));
  EXPECT_NE(log.find("Notifications to http://127.0.0.1:" + std::to_string(hook.port) +
                     " (json) failing: HTTP 302 (redirects are not followed) (game_0 finished, 1 "
                     "attempt)"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("SECRET"), std::string::npos);
  hook.set_answer(receiver_answer::ok);

  const notify_stats after = read_notify_stats();
  EXPECT_EQ(after.sent - before.sent, 4u);  // the 2xx answers; retries are not messages
  EXPECT_EQ(after.queued - before.queued, 5u);
  EXPECT_EQ(after.failed - before.failed, 1u);

  // Stopped, the games move on; started again, only what is missing goes out, once.
  stop_notify();
  const size_t stopped_at = hook.requests().size();
  set_game(1, 0, 2, 1);
  set_game(2, 0, 0, 0);
  start_notify(shared(config_for({hook.url("/hook/SECRET")})), "game_server");
  ASSERT_TRUE(hook.wait_for(stopped_at + 2, 5s));
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(summary(hook, stopped_at), (strings{"turn 1 2 1", "new_game 2 0 0"}));

  // A reload that adds a target and narrows the first one re-announces nothing.
  http_receiver second;
  notify_config more = config_for({hook.url("/hook/SECRET"), second.url()});
  more.targets[0].game_ids = {1};
  std::shared_ptr<const notify_config> held = shared(more);
  reconfigure_notify(held, "game_server");
  std::this_thread::sleep_for(2500ms);
  // Reloaded again with the same settings, the sender lets go of the configuration it had and
  // sends on from the new one.
  const std::weak_ptr<const notify_config> replaced = held;
  held.reset();
  reconfigure_notify(shared(more), "game_server");
  for (int i = 0; i < 30 && !replaced.expired(); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(replaced.expired());
  EXPECT_EQ(hook.requests().size(), stopped_at + 2);
  EXPECT_TRUE(second.requests().empty());
  set_game(1, 0, 3, 0);
  set_game(2, 0, 0, 1);
  ASSERT_TRUE(second.wait_for(2, 5s));
  ASSERT_TRUE(hook.wait_for(stopped_at + 3, 5s));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(summary(hook, stopped_at + 2), (strings{"turn 1 3 0"}));
  EXPECT_EQ(summary(second), (strings{"turn 1 3 0", "turn 2 0 1"}));
}

TEST_F(NotifySender, AHangingTargetHoldsUpNoOther) {
  http_receiver stuck;
  http_receiver fine;
  stuck.set_answer(receiver_answer::hang);
  set_game(0, 0, 1, 0);
  start_notify(shared(config_for({stuck.url(), fine.url()})), "game_server");
  std::this_thread::sleep_for(1500ms);
  set_game(0, 0, 1, 1);
  ASSERT_TRUE(stuck.wait_for(1, 5s));
  set_game(0, 0, 1, 2);
  ASSERT_TRUE(fine.wait_for(2, 5s));
  EXPECT_EQ(summary(fine), (strings{"turn 0 1 1", "turn 0 1 2"}));
  // The stop does not wait for the hanging transfer.
  const auto stop_at = std::chrono::steady_clock::now();
  stop_notify();
  EXPECT_LT(std::chrono::steady_clock::now() - stop_at, 2s);
}

TEST_F(NotifySender, RemindersUpToTheMaximumAndNotAgainAfterARestart) {
  http_receiver hook;
  set_server_clock_override(1'000'000);
  set_game(0, 0, 4, 1);
  notify_config c = config_for({hook.url()});
  c.remind_after_s = 1800;
  c.remind_every_s = 3600;
  c.remind_max = 2;
  c.targets[0].format = notify_format::slack;
  start_notify(shared(c), "game_server");
  std::this_thread::sleep_for(1500ms);
  set_server_clock_override(1'000'000 + 1799);
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(hook.requests().empty());
  set_server_clock_override(1'000'000 + 1800);
  ASSERT_TRUE(hook.wait_for(1, 5s));
  set_server_clock_override(1'000'000 + 5400);
  ASSERT_TRUE(hook.wait_for(2, 5s));
  std::this_thread::sleep_for(1s);  // stored once answered; a stop before that sends it again
  stop_notify();
  start_notify(shared(c), "game_server");  // the count is kept on disk
  set_server_clock_override(1'000'000 + 99999);
  std::this_thread::sleep_for(2500ms);
  set_server_clock_override(std::nullopt);
  ASSERT_EQ(hook.requests().size(), 2u);
  // A wait under an hour is told in minutes.
  EXPECT_EQ(body_of(hook.requests()[0])["text"].text,
            "Напоминание: «league 0», ход 4 ждёт уже 30 мин. Ходит: Green. "
            "https://games.example.org/ztsv_log.php?mode=2&amp;id=0");
  EXPECT_EQ(body_of(hook.requests()[1])["text"].text,
            "Напоминание: «league 0», ход 4 ждёт уже 1 ч 30 мин. Ходит: Green. "
            "https://games.example.org/ztsv_log.php?mode=2&amp;id=0");
}

TEST_F(NotifySender, HttpsWithTheConfiguredCertificateOnly) {
  const std::string cert = dir.file("cert.pem");
  const std::string key = dir.file("key.pem");
  const std::string cmd =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + cert + " 2>/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  http_receiver hook(cert, key);
  notify_config c = config_for({hook.url("/t")});
  c.targets[0].format = notify_format::ntfy;

  std::ostringstream untrusted;
  EXPECT_EQ(notify_test(c, untrusted), 1);  // a self-signed certificate is not trusted by default
  EXPECT_TRUE(untrusted.str().starts_with("FAIL  https://127.0.0.1:")) << untrusted.str();
  EXPECT_TRUE(hook.requests().empty());

  c.ca_file = cert;
  std::ostringstream trusted;
  EXPECT_EQ(notify_test(c, trusted), 0) << trusted.str();
  EXPECT_EQ(trusted.str(),
            "ok    https://127.0.0.1:" + std::to_string(hook.port) + " (ntfy): HTTP 200\n");
  ASSERT_EQ(hook.requests().size(), 1u);
  EXPECT_EQ(hook.requests()[0].body,
            "Проверка уведомлений сервера. https://games.example.org/ztsv_log.php");
  EXPECT_EQ(hook.requests()[0].header("Title"), "zts");
}

}  // namespace
