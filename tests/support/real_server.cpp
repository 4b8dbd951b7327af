#include "tests/support/real_server.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "lib/file_io.h"
#include "tests/support/http_client.h"

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::string read_or_empty(const std::string& path) {
  return file_exists(path) ? read_file(path) : "";
}

bool port_80_in_use(const std::string& ip) {
  try {
    client_options options;
    options.host = ip;
    options.timeout_ms = 1000;
    connect_to(80, options);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace

std::string server_binary_path() {
  return std::string(ZTS_BUILD_DIR) + "/zts_server";
}

private_network::private_network() {
  saved = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (saved < 0 || unshare(CLONE_NEWNET) != 0) {
    error = "cannot make a network namespace (needs root): " + std::string(strerror(errno));
    return;
  }
  entered = true;
  std::string setup = "ip link set lo up";
  // The server listens on its host name's address; outside 127/8 it must be added here.
  const std::string ip = host_ipv4();
  if (ip.rfind("127.", 0) != 0) setup += " && ip addr add " + ip + "/32 dev lo";
  if (std::system(setup.c_str()) != 0) error = "\"" + setup + "\" failed";
}

private_network::~private_network() {
  if (entered) setns(saved, CLONE_NEWNET);
  if (saved >= 0) close(saved);
}

server_process::server_process(const std::string& dir_, process_options options_)
    : dir(dir_), options(std::move(options_)) {
  const std::string log_path = dir + "/zts.log";
  const auto port_give_up = steady::now() + options.port_wait;
  for (;;) {
    if (!options.wait_for_port_on.empty()) {
      while (port_80_in_use(options.wait_for_port_on)) {
        if (steady::now() > port_give_up) throw std::runtime_error("port 80 busy");
        std::this_thread::sleep_for(500ms);
      }
    }
    spawn();
    const auto give_up = steady::now() + options.start_wait;
    std::string log;
    for (;;) {
      log = read_or_empty(log_path);
      const bool boom = log.find("Boom...") != std::string::npos;
      if (log.find("Running") != std::string::npos && !boom) return;
      if (boom || steady::now() > give_up || ended()) break;
      std::this_thread::sleep_for(20ms);
    }
    stop();  // no destructor runs for a constructor that throws
    const bool retry = !options.wait_for_port_on.empty() && steady::now() <= port_give_up &&
                       log.find("Boom...") != std::string::npos;
    if (!retry) throw std::runtime_error("the server did not start listening:\n" + log);
    std::filesystem::remove(log_path);  // another server took the port: wait again
  }
}

bool server_process::ended() {
  if (pid <= 0) return true;
  if (waitpid(pid, &exit_status, WNOHANG) == 0) return false;
  pid = -1;
  return true;
}

void server_process::spawn() {
  const std::string binary = server_binary_path();
  pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // A test process that dies (a broken pipe, a kill) takes its server with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (chdir(dir.c_str()) != 0) _exit(127);
    int out = open("console.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out, 1);
    dup2(out, 2);
    execl(binary.c_str(), binary.c_str(), nullptr);
    _exit(127);
  }
}

void server_process::stop() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const auto kill_at = steady::now() + options.stop_wait;
  while (waitpid(pid, &exit_status, WNOHANG) == 0) {
    if (steady::now() > kill_at) {
      kill(pid, SIGKILL);
      waitpid(pid, &exit_status, 0);
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  pid = -1;
}

int server_process::wait_exit(steady::duration limit) {
  if (pid <= 0) return exit_status;
  const auto give_up = steady::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (steady::now() > give_up) {
      kill(pid, SIGKILL);
      waitpid(pid, &exit_status, 0);
      pid = -1;
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  exit_status = status;
  pid = -1;
  return status;
}

std::string server_process::wait_for_log(const std::string& line) {
  const std::string log_path = dir + "/zts.log";
  const auto give_up = steady::now() + options.start_wait;
  for (;;) {
    std::string log = read_or_empty(log_path);
    if (log.find(line) != std::string::npos) return log;
    if (steady::now() > give_up || ended()) {
      throw std::runtime_error("no \"" + line + "\" in " + log_path + ":\n" + log);
    }
    std::this_thread::sleep_for(20ms);
  }
}

bool server_process::stopped_cleanly() const {
  return pid <= 0 && WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 0;
}
