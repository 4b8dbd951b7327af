// The real binary under a service manager's eye (a notification socket of the test's own), its
// configuration file at start and on SIGHUP, and the health check behind the watchdog pings.
#include "server/service.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "db/game.h"
#include "lib/file_io.h"
#include "tests/support/http_client.h"
#include "tests/support/real_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// A unix datagram socket standing in for the manager's notification socket.
struct notify_listener {
  explicit notify_listener(const std::string& path) {
    sock = unique_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(sock.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }

  // Reads messages until one equals `wanted` (true) or `limit` passes (false). Every message
  // read is kept in `seen`.
  bool wait_for(const std::string& wanted, steady::duration limit = 10s) {
    const auto give_up = steady::now() + limit;
    while (steady::now() < give_up) {
      pollfd p{sock.fd, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      char buf[512];
      ssize_t n = recv(sock.fd, buf, sizeof buf, 0);
      if (n <= 0) continue;
      seen += std::string(buf, static_cast<size_t>(n)) + "|";
      if (std::string(buf, static_cast<size_t>(n)) == wanted) return true;
    }
    return false;
  }

  unique_fd sock;
  std::string seen;
};

// Runs the binary in `dir` with `args` to its end; its status, and its stderr in *err.
int run_binary(const std::string& dir, const std::string& args, std::string* err) {
  const std::string command =
      "cd '" + dir + "' && '" + server_binary_path() + "' " + args + " >stdout.txt 2>stderr.txt";
  int status = std::system(command.c_str());
  *err = read_file(dir + "/stderr.txt");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The status of GET /metrics on 127.0.0.1:80 asked from `source`, forwarded for `client` when
// that is not empty.
std::string metrics_status(const std::string& source, const std::string& client = "") {
  client_options from;
  from.source_ip = source;
  std::string request = "GET /metrics HTTP/1.0\r\n";
  if (!client.empty()) request += "X-Forwarded-For: " + client + "\r\n";
  return http_exchange(80, request + "\r\n", from).status;
}

TEST(ServiceProcess, TellsTheManagerItsStateAndRereadsItsConfigurationOnHangUp) {
  private_network net;
  if (!net.error.empty()) GTEST_SKIP() << net.error;
  temp_dir dir;
  write_test_file(dir.file("zts.conf"),
                  "max_connections = 100\nlisten = [\"127.0.0.1:80\"]\n"
                  "trusted_proxies = [\"127.0.0.9\"]\nmetrics_allow = [\"127.0.0.5\"]\n");
  notify_listener manager(dir.file("notify.sock"));
  setenv("NOTIFY_SOCKET", dir.file("notify.sock").c_str(), 1);
  setenv("WATCHDOG_USEC", "1500000", 1);
  server_process server(dir.path);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");

  EXPECT_TRUE(manager.wait_for("READY=1")) << manager.seen;
  EXPECT_TRUE(manager.wait_for("WATCHDOG=1")) << manager.seen;
  EXPECT_TRUE(manager.wait_for("WATCHDOG=1")) << manager.seen;

  // The listener takes the proxies from the file: the forwarded client is the one checked.
  EXPECT_EQ(metrics_status("127.0.0.2"), "404 Not Found");
  EXPECT_EQ(metrics_status("127.0.0.9", "127.0.0.5"), "200 OK");
  EXPECT_EQ(metrics_status("127.0.0.9", "127.0.0.2"), "404 Not Found");
  EXPECT_EQ(metrics_status("127.0.0.2", "127.0.0.5"), "404 Not Found");

  // A good file: the live keys change, the listen address waits for a restart.
  write_test_file(dir.file("zts.conf"),
                  "max_connections = 200\nsend_timeout = \"10s\"\nlisten = [\"127.0.0.1:81\"]\n"
                  "metrics_allow = [\"127.0.0.5\"]\n");
  kill(server.pid, SIGHUP);
  std::string log = server.wait_for_log("reread: ");
  EXPECT_NE(log.find(":[SYS       ]:Configuration zts.conf reread: listen [127.0.0.1:80] -> "
                     "[127.0.0.1:81]; trusted_proxies [127.0.0.9] -> []; "
                     "max_connections 100 -> 200; send_timeout 60s -> 10s (the listen address "
                     "and admin socket change at the next restart)\r\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(manager.wait_for("RELOADING=1")) << manager.seen;
  EXPECT_TRUE(manager.wait_for("READY=1")) << manager.seen;

  // A bad file: one ERR line, and the running configuration stays.
  write_test_file(dir.file("zts.conf"), "max_connections = -1\n");
  kill(server.pid, SIGHUP);
  log = server.wait_for_log("not reread");
  EXPECT_NE(log.find(":[ERR       ]:Configuration zts.conf not reread, the running configuration "
                     "stays: zts.conf:1: max_connections: expected an integer from 1 to 65536, "
                     "got -1\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(metrics_status("127.0.0.2"), "404 Not Found");
  EXPECT_EQ(metrics_status("127.0.0.5"), "200 OK");
  // The reread dropped the proxy: its forwarded header is no longer believed.
  EXPECT_EQ(metrics_status("127.0.0.9", "127.0.0.5"), "404 Not Found");
  EXPECT_EQ(http_get(80, "/gameserver_v2.php?op=777").body, "ZTNS");

  kill(server.pid, SIGTERM);
  EXPECT_TRUE(manager.wait_for("STOPPING=1")) << manager.seen;
  EXPECT_EQ(server.wait_exit(20s), 0);
}

TEST(ServiceProcess, ABadConfigurationStopsTheStartBeforeAnythingIsTouched) {
  temp_dir dir;
  write_test_file(dir.file("zts.conf"),
                  "# ok so far\nmax_connections = 64\nlisten = [\"[::1]\"]\n");
  std::string err;
  EXPECT_EQ(run_binary(dir.path, "", &err), 2);
  EXPECT_EQ(err,
            "zts_server: zts.conf:3: listen: \"[::1]\" is not an address with a port such as "
            "\"0.0.0.0:80\" or \"[::]:80\"\n");
  EXPECT_FALSE(dir_exists(dir.file("game_server")));
  EXPECT_FALSE(file_exists(dir.file("zts.log")));
  EXPECT_EQ(read_file(dir.file("stdout.txt")), "");

  EXPECT_EQ(run_binary(dir.path, "--check-config", &err), 2);
  EXPECT_NE(err.find("zts.conf:3: listen:"), std::string::npos) << err;
  EXPECT_EQ(run_binary(dir.path, "--config missing.conf", &err), 2);
  EXPECT_NE(err.find("missing.conf"), std::string::npos) << err;
  EXPECT_EQ(run_binary(dir.path, "--listen 80", &err), 2);
  EXPECT_NE(err.find("unknown argument \"--listen\""), std::string::npos) << err;

  write_test_file(dir.file("good.conf"), "stop_grace = \"1s\"\n");
  EXPECT_EQ(run_binary(dir.path, "--check-config good.conf", &err), 0);
  EXPECT_EQ(read_file(dir.file("stdout.txt")), "good.conf: OK\n");
  EXPECT_EQ(run_binary(dir.path, "--version", &err), 0);
  EXPECT_EQ(read_file(dir.file("stdout.txt")), "zts_server " ZTS_VERSION "\n");
  EXPECT_FALSE(dir_exists(dir.file("game_server")));
}

TEST(ServiceWatchdog, ServingMeansAcceptingAndTheGameLockWithinItsBound) {
  scoped_server server;
  EXPECT_TRUE(server_is_serving(server.handle, 100ms));
  {
    std::lock_guard wedged(db_lock);
    std::thread check([&] {
      auto start = steady::now();
      EXPECT_FALSE(server_is_serving(server.handle, 200ms));
      EXPECT_GE(steady::now() - start, 200ms);
    });
    check.join();
  }
  EXPECT_TRUE(server_is_serving(server.handle, 100ms));
  stop_server(&server.handle);
  EXPECT_FALSE(server_is_serving(server.handle, 100ms));
}

TEST(ServiceHealth, HealthzSays503AndWhyWhileTheLoopIsStillOrAGameLockIsHeld) {
  scoped_server server;
  set_health_listener(server.handle);
  http_reply before = http_get(server.port(), "/healthz");
  EXPECT_EQ(before.status, "503 Service Unavailable");
  EXPECT_EQ(before.body, "the main loop is not running\n");
  note_main_loop_tick();
  EXPECT_EQ(http_get(server.port(), "/healthz").body, "ok\n");
  {
    std::lock_guard stuck(game_lock(0));
    http_reply held = http_get(server.port(), "/healthz");
    EXPECT_EQ(held.status, "503 Service Unavailable");
    EXPECT_EQ(held.body, "a game lock stayed held for 3000 ms\n");
  }
  EXPECT_EQ(http_get(server.port(), "/healthz").status, "200 OK");
  stop_server(&server.handle);
  scoped_server other;  // not the health listener
  EXPECT_EQ(http_get(other.port(), "/healthz").body, "the listener does not accept connections\n");
}

}  // namespace
