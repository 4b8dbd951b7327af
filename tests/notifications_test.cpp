// Turn notifications from the real binary: a game played through it reaches a Discord, a Slack,
// an ntfy and a JSON receiver on loopback, in order, while a fifth target never answers; a kill
// in the middle of a delivery is made good after the restart, once, under the same id;
// `--notify-test` reaches every target; a reload adds a target without announcing the past to
// it. A move taken back, archived and unarchived gives every announcement an id of its own, and
// names written as markup arrive as plain text.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "lib/asys.h"
#include "lib/file_io.h"
#include "tests/support/command.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/http_receiver.h"
#include "tests/support/json_reader.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

client_options server_address() {
  client_options options;
  options.host = host_ipv4();
  return options;
}

// A three-player game whose team names are Cyrillic and hostile.
save_recipe game_save(int turn, int curplr, std::vector<bool> out = {false, false, false}) {
  save_recipe s = sample_save_recipe(3);
  s.game.server_id = "game_0";
  s.game.turn = turn;
  s.game.curplr = curplr;
  s.game.save_time = static_cast<int32_t>(time(nullptr));     // fresh: the hourly pass leaves it
  s.game.plrs[0].team_name = "\xCA\xF0\xE0\xF1\xED\xFB\xE5";  // Красные
  s.game.plrs[1].team_name = "@everyone";
  s.game.plrs[2].team_name = "\xD1\xE8\xED\xE8\xE5 \"<b>\"";  // Синие "<b>"
  for (size_t k = 0; k < out.size(); ++k) s.game.plrs[k].out_flag = out[k];
  return s;
}

// The text each format carries, as received.
std::string text_of(const received_request& r, const std::string& format) {
  if (format == "ntfy") return r.body;
  json_value v;
  std::string error;
  EXPECT_TRUE(parse_json(r.body, &v, &error)) << error << " in " << r.body;
  if (format == "discord") return v["content"].text;
  if (format == "slack") return v["text"].text;
  return v["event"].text + ": " + v["text"].text;
}

std::string id_of(const received_request& r) {
  json_value v;
  std::string error;
  EXPECT_TRUE(parse_json(r.body, &v, &error)) << error << " in " << r.body;
  return v["event_id"].text;
}

// Runs one admin operation on game 0 through the server's admin socket; its reply.
std::string admin(const std::string& dir, const std::string& operation) {
  unique_fd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dir + "/admin.sock";
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  if (::connect(fd.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "no connect";
  write_all(fd.fd, "text\t" + operation + "\t0\n", path);
  std::string reply;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd.fd, buf, sizeof buf)) > 0;) reply.append(buf, size_t(n));
  return reply;
}

TEST(Notifications, AGameReachesEveryFormatInOrderAndAKillLosesNothing) {
  private_network net;
  if (!net.error.empty()) GTEST_SKIP() << net.error;
  temp_dir dir;
  const char* formats[] = {"discord", "slack", "ntfy", "json"};
  http_receiver hooks[4];
  http_receiver silent;
  std::string conf =
      "public_url = \"https://games.example.org\"\n"
      "metrics_allow = [\"" +
      host_ipv4() +
      "\"]\n"
      "[notify]\n"
      "retry_for = \"1h\"\n";
  for (int i = 0; i < 4; ++i) {
    conf += "[[notify.target]]\nurl = \"" + hooks[i].url("/SECRET-" + std::to_string(i)) +
            "\"\nformat = \"" + formats[i] + "\"\n" + (i == 3 ? "label = \"bots\"\n" : "");
  }
  conf += "[[notify.target]]\nurl = \"" + silent.url("/SECRET-silent") + "\"\nformat = \"json\"\n";
  write_test_file(dir.file("zts.conf"), conf);

  // The operator's check: one test message to each target, one line each, nothing written.
  const command_result notify_test =
      run_command("cd " + dir.path + " && " + server_binary_path() + " --notify-test",
                  command_stderr::captured);
  const std::string& report = notify_test.out;
  EXPECT_EQ(notify_test.status, 0) << report;
  EXPECT_NE(report.find("ok    http://127.0.0.1:" + std::to_string(hooks[2].port) + " (ntfy)"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("ok    bots: HTTP 200"), std::string::npos) << report;
  EXPECT_EQ(report.find("SECRET"), std::string::npos) << report;
  for (http_receiver& h : hooks) ASSERT_EQ(h.requests().size(), 1u);
  EXPECT_EQ(text_of(hooks[3].requests()[0], "json"),
            "test: Проверка уведомлений сервера. https://games.example.org/ztsv_log.php");
  EXPECT_FALSE(dir_exists(dir.file("game_server")));
  EXPECT_FALSE(file_exists(dir.file("zts.log")));
  silent.set_answer(receiver_answer::hang);

  auto server = std::make_unique<server_process>(dir.path);
  const std::string link = " https://games.example.org/ztsv_log.php?mode=2&id=0";
  size_t seen = 1;
  // Plays one step and waits until every answering receiver has its message.
  auto step = [&](int op, const save_recipe& save) {
    const auto start = steady::now();
    http_reply r = post_save(80, op, write_save(save), server_address());
    EXPECT_LT(steady::now() - start, 2s);  // the silent target costs the move nothing
    EXPECT_EQ(r.body, op == 8 ? "ZTXS\n00\nOK\n" : "ZTXS\n00\nOk\n");
    ++seen;
    for (http_receiver& h : hooks) ASSERT_TRUE(h.wait_for(seen, 10s));
  };
  step(8, game_save(0, 0));
  step(27, game_save(0, 0));
  step(27, game_save(0, 1, {false, false, true}));

  const std::string expected[] = {
      "Новая партия «Test game». Первый ход: Красные." + link,
      "«Test game», ход 0. Ходит: @everyone." + link,
      "«Test game». Вне игры: Синие \"<b>\". Ход 1. Ходит: Красные." + link,
  };
  for (int i = 0; i < 4; ++i) {
    auto got = hooks[i].requests();
    ASSERT_EQ(got.size(), 4u) << formats[i];
    std::vector<std::string> texts;
    for (size_t k = 1; k < got.size(); ++k) texts.push_back(text_of(got[k], formats[i]));
    std::vector<std::string> want(std::begin(expected), std::end(expected));
    if (i == 0) {
      want[1] = "«Test game», ход 0. Ходит: @\u200beveryone." + link;
      want[2] = replace_all(want[2], "<b>", "\\<b\\>");
    }
    if (i == 1) {
      // Slack reads <...> and &: both arrive as entities.
      for (std::string& w : want)
        w = replace_all(replace_all(w, "<b>", "&lt;b\u200b&gt;"), "&id", "&amp;id");
    }
    if (i == 3) {
      want = {"new_game: " + want[0], "turn: " + want[1], "player_out: " + want[2]};
    }
    EXPECT_EQ(texts, want) << formats[i];
  }
  EXPECT_EQ(hooks[0].requests()[1].header("Content-Type"), "application/json");
  EXPECT_EQ(hooks[2].requests()[1].header("Title"), "Test game");
  EXPECT_EQ(hooks[2].requests()[1].header("Click"), link.substr(1));

  // The JSON target breaks; the game ends; the server is killed while it retries.
  hooks[3].set_answer(receiver_answer::fail);
  const save_recipe last = game_save(1, 0, {false, true, true});
  http_reply r = post_save(80, 27, write_save(last), server_address());
  EXPECT_EQ(r.body, "ZTXS\n00\nOk\n");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(hooks[i].wait_for(5, 10s));
  ASSERT_TRUE(hooks[3].wait_for(6, 10s));  // two attempts: logged once, by the target's label
  EXPECT_EQ(text_of(hooks[0].requests()[4], "discord"),
            "«Test game» завершена. Победа: Красные." + link);
  std::this_thread::sleep_for(1s);  // the three that took it have stored that by now
  // Four messages to four targets, the end to three; the JSON target's end is still retried.
  const std::string metrics = http_get(80, "/metrics", server_address()).body;
  EXPECT_NE(metrics.find("\nzts_notifications_sent_total 15\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("\nzts_notifications_failed_total 0\n"), std::string::npos);
  EXPECT_NE(metrics.find("\nzts_notifications_attempts_failed_total{target=\"bots\"} "),
            std::string::npos);
  EXPECT_EQ(metrics.find("SECRET"), std::string::npos);
  kill(server->pid, SIGKILL);
  server->wait_exit(10s);
  const size_t json_attempts = hooks[3].requests().size();
  hooks[3].set_answer(receiver_answer::ok);

  server = std::make_unique<server_process>(dir.path);
  ASSERT_TRUE(hooks[3].wait_for(json_attempts + 1, 10s));
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(hooks[3].requests().size(), json_attempts + 1);  // the missing one, once
  EXPECT_EQ(text_of(hooks[3].requests().back(), "json"),
            "finished: «Test game» завершена. Победа: Красные." + link);
  // The resend is the same announcement: a receiver that had taken it would drop it.
  EXPECT_EQ(id_of(hooks[3].requests().back()), id_of(hooks[3].requests()[json_attempts - 1]));
  EXPECT_EQ(id_of(hooks[3].requests().back()), "zts-0-1-0-2-finished-4");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(hooks[i].requests().size(), 5u) << formats[i];

  // A reload that adds a target announces nothing to it, nor again to the others.
  http_receiver added;
  write_test_file(dir.file("zts.conf"),
                  conf + "[[notify.target]]\nurl = \"" + added.url() + "\"\nformat = \"json\"\n");
  kill(server->pid, SIGHUP);
  server->wait_for_log("reread: [notify] changed");
  std::this_thread::sleep_for(2500ms);
  EXPECT_TRUE(added.requests().empty());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(hooks[i].requests().size(), 5u) << formats[i];
  EXPECT_EQ(hooks[3].requests().size(), json_attempts + 1);

  const std::string log = read_file(dir.file("zts.log"));
  EXPECT_EQ(log.find("SECRET"), std::string::npos) << log;
  // The outage's first failure only, at once, named by the label.
  const size_t err = log.find("ERR");
  EXPECT_NE(log.find("]:Notifications to bots failing: HTTP 500 (game_0 finished, 1 attempt)"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("ERR", err + 1), std::string::npos) << log;
  server->stop();
  EXPECT_TRUE(server->stopped_cleanly());
}

TEST(Notifications, EveryAnnouncementHasItsOwnIdAndNamesArriveAsPlainText) {
  private_network net;
  if (!net.error.empty()) GTEST_SKIP() << net.error;
  temp_dir dir;
  http_receiver discord, slack, bots;
  write_test_file(dir.file("zts.conf"),
                  "public_url = \"https://games.example.org\"\n[notify]\n"
                  "[[notify.target]]\nurl = \"" +
                      discord.url() +
                      "\"\nformat = \"discord\"\n"
                      "[[notify.target]]\nurl = \"" +
                      slack.url() +
                      "\"\nformat = \"slack\"\n"
                      "[[notify.target]]\nurl = \"" +
                      bots.url() + "\"\nformat = \"json\"\n");
  server_process server(dir.path);
  // A game and team names that would be a masked link, a Slack link and formatting.
  auto hostile = [](int curplr) {
    save_recipe s = game_save(0, curplr);
    s.game.name = "League [x](http://evil.example) <http://evil.example|y>";
    s.game.plrs[0].team_name = "*team*";
    s.game.plrs[1].team_name = "`a`~b~_c";
    return s;
  };
  size_t seen = 0;
  auto wait_all = [&] {
    ++seen;
    for (http_receiver* h : {&discord, &slack, &bots}) ASSERT_TRUE(h->wait_for(seen, 10s));
  };
  EXPECT_EQ(post_save(80, 8, write_save(hostile(0)), server_address()).body, "ZTXS\n00\nOK\n");
  wait_all();
  EXPECT_EQ(post_save(80, 27, write_save(hostile(0)), server_address()).body, "ZTXS\n00\nOk\n");
  wait_all();
  // The move taken back, the game archived and brought back: the first state three times.
  for (const char* operation : {"revert", "archive", "unarchive"}) {
    EXPECT_TRUE(admin(dir.path, operation).starts_with("ok\n")) << operation;
    wait_all();
  }
  std::vector<std::string> ids;
  for (const received_request& r : bots.requests()) {
    json_value v;
    std::string error;
    ASSERT_TRUE(parse_json(r.body, &v, &error)) << error;
    ids.push_back(v["event"].text + " " + v["event_id"].text);
  }
  EXPECT_EQ(ids,
            (std::vector<std::string>{"new_game zts-0-0-0-0-new_game-1", "turn zts-0-0-1-0-turn-2",
                                      "turn zts-0-0-0-0-turn-3", "archived zts-0-0-0-3-archived-4",
                                      "turn zts-0-0-0-0-turn-5"}));

  const std::string link = " https://games.example.org/ztsv_log.php?mode=2&id=0";
  EXPECT_EQ(text_of(discord.requests()[0], "discord"),
            "Новая партия «League \\[x\\]\\(http://evil.example\\) "
            "\\<http://evil.example\\|y\\>». Первый ход: \\*team\\*." +
                link);
  EXPECT_EQ(text_of(discord.requests()[1], "discord"),
            "«League \\[x\\]\\(http://evil.example\\) \\<http://evil.example\\|y\\>», ход 0. "
            "Ходит: \\`a\\`\\~b\\~\\_c." +
                link);
  const std::string z = "\u200b";
  EXPECT_EQ(text_of(slack.requests()[0], "slack"),
            "Новая партия «League [x](http://evil.example) &lt;http://evil.example|y" + z +
                "&gt;». Первый ход: " + z + "*" + z + "team" + z + "*" + z + "." +
                replace_all(link, "&", "&amp;"));
  auto fenced = [&](const std::string& c) { return z + c + z; };
  EXPECT_TRUE(text_of(slack.requests()[1], "slack")
                  .ends_with("Ходит: " + fenced("`") + "a" + fenced("`") + fenced("~") + "b" +
                             fenced("~") + fenced("_") + "c." + replace_all(link, "&", "&amp;")))
      << text_of(slack.requests()[1], "slack");
}

}  // namespace
