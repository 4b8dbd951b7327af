// The real binary stopped by a signal: it stops accepting, lets the request in flight finish,
// writes its "SYS" line and exits with status 0.
//
// The binary always listens on port 80, so each run gets a network namespace of its own (the
// test's thread enters it while the run lasts): port 80 is then free whatever else runs here.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "lib/file_io.h"
#include "tests/support/http_client.h"
#include "tests/support/real_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

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
    server_process server(dir.path);

    client_socket in_flight = connect_to(80, server_address());
    send_bytes(in_flight, "POST /nothing HTTP/1.0\r\nContent-Length: 8\r\n\r\n");
    std::this_thread::sleep_for(200ms);  // the server has read the head and awaits the body
    kill(server.pid, sig);

    const auto give_up = steady::now() + 10s;
    while (!refuses_connections() && steady::now() < give_up) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(refuses_connections());

    send_bytes(in_flight, "\r\nZTNX12");
    EXPECT_EQ(read_reply(in_flight).status, "404 Not Found");

    int status = server.wait_exit(10s);
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
  server_process server(dir.path);
  client_socket silent = connect_to(80, server_address());
  std::this_thread::sleep_for(100ms);
  auto start = steady::now();
  kill(server.pid, SIGTERM);
  int status = server.wait_exit(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_LT(steady::now() - start, 5s);
  EXPECT_TRUE(closed_without_reply(silent, 1000));
}

}  // namespace
