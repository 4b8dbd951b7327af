// The real binary watched by a real Prometheus: scrapes taken while clients play and poll pass
// `promtool check metrics`, and the moves played come back out of Prometheus's own query API
// as zts_moves_total. Runs in a network namespace of its own, like the other tests of the real
// binary; skipped with a message where the prometheus package is not installed.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "lib/file_io.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/json_reader.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr const char* promtool = "/usr/bin/promtool";
constexpr const char* prometheus = "/usr/bin/prometheus";
// Prometheus's own port inside the namespace, where nothing else listens.
constexpr uint16_t prometheus_port = 9090;
// Scrapes run every second; Prometheus starts in a few seconds even on a loaded machine.
constexpr auto prometheus_wait = 90s;

// Starts `argv` in a process group of its own, output to `out_path`; it dies with the test.
pid_t spawn(const std::vector<std::string>& argv, const std::string& out_path,
            const std::string& in_path = "/dev/null") {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);
  return pid;
}

// Waits for `pid` up to `limit`, then kills its group. The wait status, or -1 when killed.
int finish(pid_t pid, steady::duration limit) {
  const auto kill_at = steady::now() + limit;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return status;
    if (steady::now() > kill_at) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(20ms);
  }
}

// `promtool check metrics` on one scrape: "" when it passes, else what it said.
std::string promtool_check(const std::string& scrape, const temp_dir& dir) {
  write_test_file(dir.file("scrape.txt"), scrape);
  pid_t pid =
      spawn({promtool, "check", "metrics"}, dir.file("promtool.txt"), dir.file("scrape.txt"));
  int status = finish(pid, 60s);
  if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return "promtool status " + std::to_string(status) + ": " + read_file(dir.file("promtool.txt"));
}

// The value of the first sample a Prometheus instant query returns, or "" when none yet.
std::string query_value(const std::string& query) {
  client_options local;
  local.timeout_ms = 5000;
  http_reply r;
  try {
    r = http_get(prometheus_port, "/api/v1/query?query=" + query, local);
  } catch (const std::exception&) {
    return "";  // not listening yet
  }
  json_value v;
  std::string error;
  if (r.status != "200 OK" || !parse_json(r.body, &v, &error)) return "";
  const json_value& result = v["data"]["result"];
  if (result.kind != json_value::array_kind || result.items.empty()) return "";
  return result[0]["value"][1].text;
}

TEST(Prometheus, ScrapesUnderLoadPassPromtoolAndMovesReachPrometheus) {
  if (access(prometheus, X_OK) != 0 || access(promtool, X_OK) != 0) {
    GTEST_SKIP() << "the prometheus package (prometheus, promtool) is not installed";
  }
  ASSERT_TRUE(file_exists(server_binary_path())) << server_binary_path() << " is not built";
  private_network net;
  ASSERT_EQ(net.error, "");
  const std::string ip = host_ipv4();
  if (ip.rfind("127.", 0) != 0) {
    GTEST_SKIP() << "the host name resolves to " << ip
                 << ", outside the loopback range that may read /metrics by default";
  }
  temp_dir dir;
  server_process server(dir.path);
  client_options at_server;
  at_server.host = ip;

  // Two players take turns while other clients poll the lists, the API and the pages.
  gametyp g = sample_game(2);
  g.save_time = static_cast<int32_t>(time(nullptr));
  ASSERT_EQ(post_save(80, 8, write_save(g), at_server).body, "ZTXS\n00\nOK\n");
  g.server_id = "game_0";
  std::atomic<bool> done{false};
  std::atomic<int> polls{0};
  std::vector<std::thread> pollers;
  for (const char* target : {"/gameserver_v2.php?op=666", "/api/games", "/api/games/0",
                             "/ztsv_log.php?mode=1", "/gameserver_v2.php?op=28&fn=game_9"}) {
    pollers.emplace_back([&, target] {
      for (int i = 0; i < 2000 && !done; ++i) {
        if (http_get(80, target, at_server).complete) ++polls;
      }
    });
  }
  constexpr int moves = 30;
  std::vector<std::string> scrapes;
  for (int i = 0; i < moves; ++i) {
    g.turn = i / 2;
    g.curplr = i % 2;
    ASSERT_EQ(post_save(80, 27, write_save(g), at_server).body, "ZTXS\n00\nOk\n") << i;
    if (i % 10 == 5) scrapes.push_back(http_get(80, "/metrics", at_server).body);
  }
  done = true;
  for (std::thread& t : pollers) t.join();
  EXPECT_GT(polls, 0);
  for (const std::string& scrape : scrapes) {
    EXPECT_NE(scrape.find("\nzts_moves_total "), std::string::npos) << scrape;
    EXPECT_EQ(promtool_check(scrape, dir), "");
  }
  // Every move took its game's lock, and the wait (if only of no time) was counted.
  const std::string last = http_get(80, "/metrics", at_server).body;
  const std::string waits = "\nzts_lock_wait_seconds_count{waiter=\"request\"} ";
  const size_t at = last.find(waits);
  ASSERT_NE(at, std::string::npos) << last;
  EXPECT_GE(std::stod(last.substr(at + waits.size())), moves);

  // Prometheus scrapes the server every second until the moves are in its database.
  write_test_file(dir.file("prometheus.yml"),
                  "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                  "scrape_configs:\n  - job_name: zts\n    static_configs:\n"
                  "      - targets: ['" +
                      ip + ":80']\n");
  pid_t prom = spawn({prometheus, "--config.file=" + dir.file("prometheus.yml"),
                      "--storage.tsdb.path=" + dir.file("tsdb"),
                      "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
                     dir.file("prometheus.log"));
  ASSERT_GT(prom, 0);
  std::string moved;
  for (auto until = steady::now() + prometheus_wait;
       moved != std::to_string(moves) && steady::now() < until;) {
    std::this_thread::sleep_for(500ms);
    moved = query_value("zts_moves_total");
  }
  EXPECT_EQ(moved, std::to_string(moves)) << read_file(dir.file("prometheus.log"));
  EXPECT_EQ(query_value("up"), "1");
  EXPECT_EQ(query_value("zts_games%7Bstatus%3D%22in_play%22%7D"), "1");
  EXPECT_EQ(query_value("zts_build_info"), "1");
  EXPECT_NE(query_value("process_resident_memory_bytes"), "");
  kill(-prom, SIGTERM);
  finish(prom, 30s);

  server.stop();
  EXPECT_TRUE(server.stopped_cleanly()) << read_file(dir.file("console.txt"));
}

}  // namespace
