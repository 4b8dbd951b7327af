// The real binary build/zts_server for end-to-end tests: a network namespace of the test's own
// (so the binary's fixed port 80 is free whatever else runs on this machine) and the server
// process itself, started in a temporary directory and stopped with a signal.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

// <build>/zts_server.
std::string server_binary_path();

// Moves the calling thread (and the threads and processes it starts from then on) into a fresh
// network namespace with loopback up and the host name's IPv4 address on it, and back at the end
// of the scope. `entered` tells whether the thread moved (false: nothing changed, e.g. not root);
// `error` is empty when the namespace is ready, otherwise says why it is not.
struct private_network {
  private_network();
  ~private_network();
  private_network(const private_network&) = delete;
  private_network& operator=(const private_network&) = delete;

  int saved = -1;
  bool entered = false;
  std::string error;
};

struct process_options {
  // Not empty: first wait (up to port_wait) until nothing listens on port 80 at this address, and
  // start again when another server took the port between that check and the bind. For runs
  // that could not get a network namespace of their own.
  std::string wait_for_port_on;
  std::chrono::steady_clock::duration port_wait = std::chrono::seconds(60);
  // Until the "Running" line.
  std::chrono::steady_clock::duration start_wait = std::chrono::seconds(30);
  // Between SIGTERM and SIGKILL in stop().
  std::chrono::steady_clock::duration stop_wait = std::chrono::seconds(40);
};

// The real binary running in `dir` (its output goes to dir/console.txt; it dies with the test
// process), stopped with SIGTERM at the end of the scope.
struct server_process {
  // Returns once zts.log holds "Running" and no "Boom..." (the port was taken). Throws
  // std::runtime_error with the log otherwise (the process is then stopped).
  explicit server_process(const std::string& dir, process_options options = {});
  ~server_process() { stop(); }
  server_process(const server_process&) = delete;
  server_process& operator=(const server_process&) = delete;

  // SIGTERM, then SIGKILL past options.stop_wait; keeps the wait status in exit_status. Does
  // nothing once the process has ended.
  void stop();
  // Waits up to `limit` for the process to end on its own (after a signal the test sent).
  // Returns its wait status (also kept in exit_status), or -1 when it had to be killed.
  int wait_exit(std::chrono::steady_clock::duration limit);
  // The event log once it holds `line`. Throws std::runtime_error when the process ends or
  // options.start_wait passes first.
  std::string wait_for_log(const std::string& line);
  // True when it ended on its own with status 0 (a sanitizer's report, a crash or a hung
  // shutdown give another status).
  bool stopped_cleanly() const;

  std::string dir;
  process_options options;
  pid_t pid = -1;
  int exit_status = -1;

 private:
  void spawn();
  // Reaps the process when it has ended (keeping its status); true then.
  bool ended();
};
