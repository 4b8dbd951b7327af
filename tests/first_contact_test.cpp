// What an operator meets first, on the real binary: where the server listens by default and
// the line that says so, a listen address it cannot bind, a second server in the same
// directory, /healthz and HEAD, the cause line after a failed request, and zts_check naming a
// directory the server could not write.
//
// Each server runs in a network namespace of the test's own; the host-name case also gets a
// mount and UTS namespace of its own, with a hosts file that maps the name to 127.0.1.1 as
// Debian's does.
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "lib/file_io.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr const char* host_name = "zts-first-contact";
constexpr const char* other_address = "10.9.8.7";  // a non-loopback address of this namespace

std::string read_or_empty(const std::string& path) {
  return file_exists(path) ? read_file(path) : "";
}

// The binary started in `dir` with the host name `host_name` mapped to 127.0.1.1 by `hosts`;
// its stdout goes to dir/out.txt and its stderr to dir/err.txt.
pid_t spawn_with_hosts(const std::string& dir, const std::string& hosts) {
  const std::string binary = server_binary_path();
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0) _exit(126);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(126);
  if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) _exit(126);
  if (sethostname(host_name, strlen(host_name)) != 0) _exit(126);
  if (chdir(dir.c_str()) != 0) _exit(127);
  dup2(open("out.txt", O_WRONLY | O_CREAT | O_APPEND, 0644), 1);
  dup2(open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  execl(binary.c_str(), binary.c_str(), nullptr);
  _exit(127);
}

// The exit status of `pid` once it ends on its own within 20 s; -1 when it had to be killed.
int exit_status_of(pid_t pid) {
  const auto give_up = steady::now() + 20s;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (steady::now() > give_up) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(20ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits until dir/zts.log holds `line` `times` times.
bool log_shows(const std::string& dir, const std::string& line, int times = 1) {
  const auto give_up = steady::now() + 20s;
  while (steady::now() < give_up) {
    const std::string log = read_or_empty(dir + "/zts.log");
    int seen = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++seen;
    if (seen >= times) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::string op_777(const std::string& host) {
  client_options to;
  to.host = host;
  return game_get(80, "?op=777", to).body;
}

TEST(FirstContact, LoopbackHostNameListensEverywhereOneServerPerDirectoryAndFailuresExitNonZero) {
  private_network net;
  if (!net.error.empty()) GTEST_SKIP() << net.error;
  ASSERT_EQ(std::system(("ip addr add " + std::string(other_address) + "/32 dev lo").c_str()), 0);
  temp_dir dir;
  const std::string hosts = dir.file("hosts");
  write_test_file(hosts, "127.0.0.1 localhost\n127.0.1.1 " + std::string(host_name) + "\n");
  const std::string first = dir.file("first");
  const std::string second = dir.file("second");
  std::filesystem::create_directories(first);
  std::filesystem::create_directories(second);

  pid_t server = spawn_with_hosts(first, hosts);
  ASSERT_TRUE(log_shows(first, "]:Listening on 0.0.0.0:80; 0 games loaded\r\n"))
      << read_or_empty(first + "/zts.log") << read_or_empty(first + "/err.txt");
  // Right after the design's start line; reachable on loopback and on the other address.
  EXPECT_NE(read_file(first + "/zts.log").find("]:Running "), std::string::npos);
  EXPECT_EQ(op_777("127.0.0.1"), "ZTNS") << read_or_empty(first + "/out.txt");
  EXPECT_EQ(op_777(other_address), "ZTNS");
  EXPECT_EQ(read_file(first + "/game_server/.zts.lock"), std::to_string(server) + "\n");

  // A second server in the same directory refuses before it writes anything.
  const std::string log_before = read_file(first + "/zts.log");
  rename((first + "/out.txt").c_str(), (first + "/out_first.txt").c_str());
  pid_t again = spawn_with_hosts(first, hosts);
  EXPECT_EQ(exit_status_of(again), 2);
  const std::string refusal = read_file(first + "/err.txt");
  EXPECT_NE(refusal.find("/first/game_server is in use by another server (pid " +
                         std::to_string(server) + ","),
            std::string::npos)
      << refusal;
  EXPECT_EQ(std::count(refusal.begin(), refusal.end(), '\n'), 1) << refusal;
  EXPECT_EQ(read_file(first + "/zts.log"), log_before);
  EXPECT_EQ(read_or_empty(first + "/out.txt"), "");

  // Another directory, the port taken: the design's lines, the reason on stderr, status 1.
  pid_t blocked = spawn_with_hosts(second, hosts);
  EXPECT_EQ(exit_status_of(blocked), 1);
  EXPECT_EQ(read_file(second + "/err.txt"),
            "zts_server: cannot listen: bind 0.0.0.0:80: Address already in use\n");
  const std::string blocked_log = read_file(second + "/zts.log");
  EXPECT_NE(blocked_log.find("]:Boom...\r\n"), std::string::npos) << blocked_log;
  EXPECT_EQ(blocked_log.find("]:Running"), std::string::npos) << blocked_log;

  // Killed outright, it leaves its lock file behind: the restart is not refused.
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  pid_t restarted = spawn_with_hosts(first, hosts);
  EXPECT_TRUE(log_shows(first, "]:Listening on 0.0.0.0:80; 0 games loaded\r\n", 2));
  EXPECT_EQ(op_777("127.0.0.1"), "ZTNS");
  kill(restarted, SIGTERM);
  EXPECT_EQ(exit_status_of(restarted), 0);
}

std::string header_of(const http_reply& r, const std::string& name) {
  for (const auto& [key, value] : r.headers) {
    if (key == name) return value;
  }
  return "";
}

TEST(FirstContact, HealthHeadAndTheCauseOfAFailedDownload) {
  private_network net;
  if (!net.error.empty()) GTEST_SKIP() << net.error;
  temp_dir dir;
  server_process server(dir.path);
  client_options to;
  to.host = host_ipv4();
  save_recipe recipe = sample_save_recipe(2);
  ASSERT_EQ(post_save(80, 8, write_save(recipe), to).body, "ZTXS\n00\nOK\n");

  http_reply health = http_get(80, "/healthz", to);
  EXPECT_EQ(health.status, "200 OK");
  EXPECT_EQ(health.body, "ok\n");
  EXPECT_EQ(header_of(health, "Content-Type"), "text/plain; charset=utf-8");

  // HEAD: the same head as GET, Content-Length included, and no body.
  for (const char* target : {"/healthz", "/api/games", "/api/games/0", "/games"}) {
    SCOPED_TRACE(target);
    const http_reply get = http_get(80, target, to);
    const http_reply head =
        http_exchange(80, "HEAD " + std::string(target) + " HTTP/1.0\r\n\r\n", to);
    EXPECT_EQ(head.status, get.status);
    EXPECT_EQ(header_of(head, "Content-Length"), std::to_string(get.body.size()));
    EXPECT_EQ(header_of(head, "Content-Type"), header_of(get, "Content-Type"));
    EXPECT_EQ(head.body, "");
  }
  // The game protocol, the status pages and the log never answered HEAD, and still do not.
  for (const char* target : {"/gameserver_v2.php?op=777", "/ztsv_log.php", "/zts.log"}) {
    SCOPED_TRACE(target);
    client_socket c = connect_to(80, to);
    send_bytes(c, "HEAD " + std::string(target) + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(closed_without_reply(c, 5000));
  }
  const http_reply metrics_head = http_exchange(80, "HEAD /metrics HTTP/1.0\r\n\r\n", to);
  EXPECT_EQ(metrics_head.status, "200 OK");
  EXPECT_EQ(metrics_head.body, "");
  EXPECT_NE(http_get(80, "/metrics", to).body.find("route=\"healthz\""), std::string::npos);

  // The newest save gone: the design's reply and line, then why.
  const std::string turns = dir.file("game_server/game_0/turns");
  std::string newest;
  for (const auto& e : std::filesystem::directory_iterator(turns)) newest = e.path().string();
  ASSERT_FALSE(newest.empty());
  std::filesystem::remove(newest);
  EXPECT_EQ(game_get(80, "?op=28&fn=game_0", to).body, "ZTXS Crash in zt_server");
  const std::string log = server.wait_for_log("get_party_turn game 0:");
  const size_t crash = log.find("]:Error in do_zt_server\r\n");
  ASSERT_NE(crash, std::string::npos) << log;
  const size_t cause_end = log.find("\r\n", crash + 25);
  const std::string cause = log.substr(crash + 25, cause_end - crash - 25);
  EXPECT_NE(cause.find(":[ERR       ]:get_party_turn game 0: "), std::string::npos) << cause;
  EXPECT_NE(cause.find(newest.substr(newest.find("game_server/")) + ": No such file or directory"),
            std::string::npos)
      << cause;
  server.stop();
  EXPECT_TRUE(server.stopped_cleanly());

  // zts_check, run as root, judges writability as the owner of game_server/ would.
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr || geteuid() != 0) return;
  ASSERT_EQ(chown(dir.file("game_server").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(chown(dir.file("game_server/game_0").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  const std::string out = dir.file("check.txt");
  const int status = std::system(
      (std::string(ZTS_BUILD_DIR) + "/zts_check " + dir.path + " > " + out + " 2>&1").c_str());
  const std::string report = read_file(out);
  EXPECT_EQ(WEXITSTATUS(status), 1) << report;
  EXPECT_NE(report.find("game_server/game_0/turns: not writable by uid " +
                        std::to_string(nobody->pw_uid) + " (the owner of game_server/)"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find("game_0: not writable"), std::string::npos) << report;
  EXPECT_EQ(report.find(".zts.lock"), std::string::npos) << report;
}

}  // namespace
