// The real binary stopped by a signal: it stops accepting, lets the request in flight finish,
// writes its "SYS" line and exits with status 0.
//
// The binary always listens on port 80, so each run gets a network namespace of its own (the
// test's thread enters it while the run lasts): port 80 is then free whatever else runs here.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "lib/file_io.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const std::string server_binary = std::string(ZTS_BUILD_DIR) + "/zts_server";

// The calling thread (and what it starts) in a fresh network namespace with loopback up and the
// host name's address on it, until the end of the scope. `error` says why it could not be made.
struct private_network {
  private_network() {
    saved = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (saved < 0 || unshare(CLONE_NEWNET) != 0) {
      error = std::string("no network namespace (needs root): ") + strerror(errno);
      return;
    }
    entered = true;
    std::string setup = "ip link set lo up";
    if (host_ipv4().rfind("127.", 0) != 0) setup += " && ip addr add " + host_ipv4() + "/32 dev lo";
    if (std::system(setup.c_str()) != 0) error = setup + " failed";
  }
  ~private_network() {
    if (entered) setns(saved, CLONE_NEWNET);
    if (saved >= 0) close(saved);
  }
  private_network(const private_network&) = delete;
  private_network& operator=(const private_network&) = delete;

  int saved = -1;
  bool entered = false;
  std::string error;
};

// Starts the binary in `dir` and waits for its "Running" line.
pid_t start_binary(const std::string& dir) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    int out = open("console.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out, 1);
    dup2(out, 2);
    execl(server_binary.c_str(), server_binary.c_str(), nullptr);
    _exit(127);
  }
  const auto give_up = steady::now() + 30s;
  const std::string log_path = dir + "/zts.log";
  while (!file_exists(log_path) || read_file(log_path).find("Running") == std::string::npos) {
    if (steady::now() > give_up || waitpid(pid, nullptr, WNOHANG) != 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      throw std::runtime_error("the server did not start");
    }
    std::this_thread::sleep_for(20ms);
  }
  return pid;
}

// Waits up to `ms` for the process to end; its wait status, or -1 (then it is killed).
int wait_exit(pid_t pid, int ms) {
  const auto give_up = steady::now() + std::chrono::milliseconds(ms);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (steady::now() > give_up) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  return status;
}

// Where the binary listens.
client_options server_address() {
  client_options options;
  options.host = host_ipv4();
  options.timeout_ms = 5000;
  return options;
}

bool refuses_connections() {
  try {
    connect_to(80, server_address());
    return false;
  } catch (const std::runtime_error&) {
    return true;
  }
}

TEST(ServerProcess, StopSignalFinishesTheRequestInFlightThenExitsZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    private_network net;
    if (!net.error.empty()) GTEST_SKIP() << net.error;
    temp_dir dir;
    pid_t pid = start_binary(dir.path);

    client_socket in_flight = connect_to(80, server_address());
    send_bytes(in_flight, "POST /nothing HTTP/1.0\r\nContent-Length: 8\r\n\r\n");
    std::this_thread::sleep_for(200ms);  // the server has read the head and awaits the body
    kill(pid, sig);

    const auto give_up = steady::now() + 10s;
    while (!refuses_connections() && steady::now() < give_up) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(refuses_connections());

    send_bytes(in_flight, "\r\nZTNX12");
    EXPECT_EQ(read_reply(in_flight).status, "404 Not Found");

    int status = wait_exit(pid, 10000);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = read_file(dir.file("zts.log"));
    EXPECT_NE(log.find(":[SYS       ]:Stopped on signal " + std::to_string(sig) + "\r\n"),
              std::string::npos)
        << log;
  }
}

TEST(ServerProcess, StopSignalDoesNotWaitForASilentClient) {
  private_network net;
  if (!net.error.empty()) GTEST_SKIP() << net.error;
  temp_dir dir;
  pid_t pid = start_binary(dir.path);
  client_socket silent = connect_to(80, server_address());
  std::this_thread::sleep_for(100ms);
  auto start = steady::now();
  kill(pid, SIGTERM);
  int status = wait_exit(pid, 10000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_LT(steady::now() - start, 5s);
  EXPECT_TRUE(closed_without_reply(silent, 1000));
}

}  // namespace
