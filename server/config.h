// The operator's configuration file, TOML (read with toml++). Every key is optional and defaults
// to how the server behaves without a file; an unknown key, a wrong type, a value out of range or
// an address that does not parse refuses the whole file with one message naming the file, the
// line and the key:
//
//   listen = ["0.0.0.0:80", "[::]:80"]     # default: port 80 of the first IPv4 address
//   trusted_proxies = ["127.0.0.1", "::1"] # default: none
//   metrics_allow = ["127.0.0.0/8", "::1"] # default: loopback
//   public_url = "https://games.example.org"
//   admin_socket = "admin.sock"
//   max_connections = 512
//   max_connections_per_addr = 64
//   first_byte_timeout = "60s"             # durations: "500ms", "60s", "2m", "1h" (lib/duration.h)
//   send_timeout = "60s"
//   stop_grace = "30s"
//   web = true                             # the players' pages at /games
//   [notify]                               # read by the notifications module
//
// deploy/zts.conf is the commented reference of every key.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "net/address.h"
#include "notify/config.h"

// The file read when no --config is given, relative to the working directory.
inline constexpr const char* default_config_path = "zts.conf";

// The defaults: how the server behaves without a file.
// Most connections served at once; a connection beyond it is closed at once, so a flood can
// exhaust neither threads nor descriptors.
inline constexpr int default_max_connections = 512;
// Most connections at once from one client address, so one client cannot take every place.
inline constexpr int default_max_connections_per_addr = 64;
// How long a connection may stay silent before its first byte.
inline constexpr std::chrono::milliseconds default_first_byte_timeout{60'000};
// How long one reply may take to send; a client that does not read cannot hold its place longer.
inline constexpr std::chrono::milliseconds default_send_timeout{60'000};
// How long a stop waits for requests in flight; a stalled client must not hold up a stop.
inline constexpr std::chrono::milliseconds default_stop_grace{30'000};

// One configuration, immutable once in force (current_config). The defaults are the server's
// behaviour without a file.
struct zts_config {
  // Where to listen. Empty: port 80 of local_ip(), as without a file.
  std::vector<ip_endpoint> listen;
  // Peers whose X-Forwarded-For header is believed.
  std::vector<ip_net> trusted_proxies;
  // Peers that may read /metrics. Default: 127.0.0.0/8 and ::1.
  std::vector<ip_net> metrics_allow = default_metrics_allow();
  // Base of the links the server hands out, without a trailing "/"; empty: no links.
  std::string public_url;
  // Path of the operators' local control socket (unix domain, mode 0600), relative to the
  // working directory.
  std::string admin_socket = "admin.sock";

  int max_connections = default_max_connections;
  int max_connections_per_addr = default_max_connections_per_addr;
  std::chrono::milliseconds first_byte_timeout = default_first_byte_timeout;
  std::chrono::milliseconds send_timeout = default_send_timeout;
  std::chrono::milliseconds stop_grace = default_stop_grace;
  // Whether /games serves the players' pages; false: those paths get the 404 page.
  bool web = true;

  // The [notify] table as written, in a canonical text (what a reread compares), and as the
  // notifications module read it (with public_url).
  std::string notify_table;
  notify_config notifications;

  static std::vector<ip_net> default_metrics_allow();
};

struct config_result {
  bool ok = false;
  zts_config config;  // the defaults with the file's values over them, when ok
  std::string error;  // otherwise: "<file>:<line>: <key>: <what is wrong>"
};

// Reads and checks the file at `path`. Never throws; a missing or unreadable file is an error
// like any other.
config_result load_config(const std::string& path);

// Checks TOML text as if read from a file named `path` (tests, and load_config itself).
config_result parse_config(std::string_view text, const std::string& path);

// What differs between two configurations, one item per key in file order: "max_connections
// 512 -> 100". The [notify] table shows as one item when anything in it differs.
std::vector<std::string> config_changes(const zts_config& before, const zts_config& after);

// Whether a change from `before` to `after` only takes effect after a restart (the listen
// addresses and the control socket are bound once, at start).
bool config_needs_restart(const zts_config& before, const zts_config& after);

// The configuration in force: one immutable object that readers take (a copy of the pointer,
// kept for as long as they need a consistent view: a connection, a request) and that a reload
// replaces whole. The defaults until set_current_config is first called. Thread-safe.
std::shared_ptr<const zts_config> current_config();
void set_current_config(zts_config config);

// The [notify] settings of `config` (not null), keeping the whole configuration alive: what the
// notification sender holds instead of a copy.
std::shared_ptr<const notify_config> notify_settings(std::shared_ptr<const zts_config> config);

// Tests: puts `config` in force for the scope and the previous configuration back at its end.
struct scoped_config {
  explicit scoped_config(zts_config config);
  ~scoped_config();
  scoped_config(const scoped_config&) = delete;
  scoped_config& operator=(const scoped_config&) = delete;

  std::shared_ptr<const zts_config> previous;
};
