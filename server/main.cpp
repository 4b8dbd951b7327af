// zts_server: keeps all state relative to its working directory (game_server/ and zts.log) and
// listens on port 80 of default_listen() (server/server.h) unless the configuration file says
// otherwise. The file is
// zts.conf in the working directory when it exists, or the one named by --config; without one
// the server behaves exactly as it always has.
// Operators reach the running server through its admin socket (server/admin_socket.h).
// SIGINT and SIGTERM stop it in order: no new connections, requests in flight finish (bounded
// by stop_grace), a "SYS" line, exit status 0. SIGHUP rereads the configuration file.
// Exit status 1: the listen address could not be bound, or a fatal error (a manager may restart
// it); 2: a bad command line or configuration, or game_server/ held by another server (a
// restart would not help). One server per directory: game_server/.zts.lock (db/dir_lock.h).
#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "api/games_api.h"
#include "db/dir_lock.h"
#include "db/layout.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "net/address.h"
#include "net/socket.h"
#include "notify/sender.h"
#include "server/admin_socket.h"
#include "server/config.h"
#include "server/main_loop.h"
#include "server/routing.h"
#include "server/server.h"
#include "server/service.h"

namespace {

constexpr const char* version_label = ZTS_VERSION;
// Exit status for a command line or configuration file the server refuses to start with, and
// for a data directory another server holds: a restart would not help.
constexpr int exit_bad_config = 2;
// Exit status for a failure a restart may cure (a listen address that cannot be bound yet, a
// fatal error).
constexpr int exit_failed = 1;

constexpr const char* usage_text =
    "Usage: zts_server [--config PATH]\n"
    "       zts_server --check-config [PATH]\n"
    "       zts_server [--config PATH] --notify-test\n"
    "       zts_server --version | --help\n"
    "\n"
    "Runs the turn server with its games in ./game_server and its event log in ./zts.log.\n"
    "The configuration is read from PATH, or from ./zts.conf when that file exists; without\n"
    "one the server listens on port 80 of this machine's first IPv4 address, or of every\n"
    "address (0.0.0.0) when the host name resolves only to loopback addresses.\n"
    "\n"
    "  --config PATH          read the configuration from PATH (which must exist)\n"
    "  --check-config [PATH]  check the configuration file (default ./zts.conf) and exit:\n"
    "                         status 0 when it is sound, 2 with the reason otherwise\n"
    "  --notify-test          send one test message to every notification target and print\n"
    "                         one line each: status 0 when all took it, 1 otherwise\n"
    "  --version              print the version and exit\n"
    "  --help                 print this text and exit\n"
    "\n"
    "Signals: SIGTERM or SIGINT stop in order; SIGHUP rereads the configuration file.\n";

struct command_line {
  std::string config_path = default_config_path;
  bool config_named = false;  // --config or --check-config PATH: the file must exist
  bool check_only = false;
  bool notify_test = false;
  bool version = false;
  bool help = false;
  std::string error;
};

command_line parse_command_line(int argc, char** argv) {
  command_line cmd;
  std::vector<std::string> args(argv + 1, argv + argc);
  // --help and --version are answered wherever they stand, whatever else the line holds.
  for (const std::string& arg : args) {
    cmd.help = cmd.help || arg == "--help" || arg == "-h";
    cmd.version = cmd.version || arg == "--version";
  }
  if (cmd.help || cmd.version) return cmd;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      cmd.help = true;
    } else if (arg == "--version") {
      cmd.version = true;
    } else if (arg == "--config" || arg.rfind("--config=", 0) == 0) {
      if (arg == "--config" && i + 1 == args.size()) {
        cmd.error = "--config needs a path";
        break;
      }
      cmd.config_path = arg == "--config" ? args[++i] : arg.substr(9);
      cmd.config_named = true;
    } else if (arg == "--notify-test") {
      cmd.notify_test = true;
    } else if (arg == "--check-config") {
      cmd.check_only = true;
      if (i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0) {
        cmd.config_path = args[++i];
        cmd.config_named = true;
      }
    } else {
      cmd.error = "unknown argument \"" + arg + "\"";
      break;
    }
  }
  return cmd;
}

// Blocks the stop signals and SIGHUP in the calling thread and every thread it starts later, so
// that only the waiter below receives them.
sigset_t block_handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

// What SIGHUP does: reads the file again and puts it in force, but for what is bound once at
// start (the listen addresses and the admin socket). Only the signal waiter calls it, so
// rereads never overlap.
struct reloader {
  std::string path;
  bool named = false;

  void reload() {
    const std::string source = "Configuration " + path;
    service_notify("RELOADING=1");
    zts_config next;
    if (named || file_exists(path)) {
      config_result read = load_config(path);
      if (!read.ok) {
        write_log("ERR", source + " not reread, the running configuration stays: " + read.error);
        service_notify("READY=1");
        return;
      }
      next = std::move(read.config);
    }
    const std::shared_ptr<const zts_config> running = current_config();
    std::vector<std::string> changes = config_changes(*running, next);
    const bool restart = config_needs_restart(*running, next);
    // Addresses are bound once: the running ones stay until the restart.
    next.listen = running->listen;
    next.admin_socket = running->admin_socket;
    set_current_config(std::move(next));
    // Targets that stay keep what they have announced; new ones start from the games as they are.
    reconfigure_notify(notify_settings(current_config()), game_root);
    service_notify("READY=1");

    if (changes.empty()) {
      // Without a file there is nothing to report; the log stays as it would be without SIGHUP.
      if (named || file_exists(path)) write_log("SYS", source + " reread: nothing changed");
      return;
    }
    std::string text;
    for (const std::string& change : changes) text += (text.empty() ? "" : "; ") + change;
    if (restart) text += " (the listen address and admin socket change at the next restart)";
    write_log("SYS", source + " reread: " + text);
  }
};

void wait_for_signals(sigset_t set, stop_signal* stop, int* received, reloader* reload) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGHUP) {
      try {
        reload->reload();
      } catch (const std::exception& e) {
        write_log("ERR", std::string("Configuration not reread: ") + e.what());
      }
      continue;
    }
    *received = sig;
    raise_stop(stop);
    return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  command_line cmd = parse_command_line(argc, argv);
  if (!cmd.error.empty()) {
    std::fprintf(stderr, "zts_server: %s\n\n%s", cmd.error.c_str(), usage_text);
    return exit_bad_config;
  }
  if (cmd.help) {
    std::fputs(usage_text, stdout);
    return 0;
  }
  if (cmd.version) {
    std::printf("zts_server %s\n", version_label);
    return 0;
  }
  // Everything about the file is settled before anything is bound, read or written.
  zts_config config;
  if (cmd.config_named || cmd.check_only || file_exists(cmd.config_path)) {
    config_result read = load_config(cmd.config_path);
    if (!read.ok) {
      std::fprintf(stderr, "zts_server: %s\n", read.error.c_str());
      return exit_bad_config;
    }
    config = std::move(read.config);
  }
  if (cmd.check_only) {
    std::printf("%s: OK\n", cmd.config_path.c_str());
    return 0;
  }
  if (cmd.notify_test) {
    // Reads the configuration only: nothing is bound, logged or written.
    if (config.notifications.targets.empty()) {
      std::printf("%s: no notification targets ([[notify.target]])\n", cmd.config_path.c_str());
      return 1;
    }
    return notify_test(config.notifications, std::cout) == 0 ? 0 : 1;
  }

  // Turn files, uploads and lists run to hundreds of KB per request. By default each such block
  // is a fresh mapping, faulted in page by page and unmapped after the reply, and a freed heap
  // top is handed back at once; where page faults are dear (sandboxed hosts: ~50 us a page)
  // that alone cost 8 ms of a 200 KB download. Keep large blocks in the heap and keep the heap.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  // A kept heap is kept per arena, and by default every few threads get an arena of
  // their own (16 on two cores): each then held its own high-water mark of list-sized blocks,
  // and the sum grew with the game list (~55 KB a game) and was never given back. Two arenas,
  // one per core, share one high-water mark; small blocks come from each thread's cache anyway.
  mallopt(M_ARENA_MAX, 2);
  // Taken before anything is written: a second server in this directory leaves no trace.
  dir_lock data_lock;
  try {
    std::string refusal;
    data_lock = lock_data_dir(game_root, &refusal);
    if (!refusal.empty()) {
      std::fprintf(stderr, "zts_server: %s\n", refusal.c_str());
      return exit_bad_config;
    }
  } catch (const io_error& e) {
    std::fprintf(stderr, "zts_server: %s\n", e.what());
    return exit_failed;
  }
  set_log_file("zts.log", true);
  set_build_info(version_label);
  set_current_config(std::move(config));
  try {
    sigset_t handled_signals = block_handled_signals();
    const int games_loaded = load_game_list();
    admin_socket admin;
    try {
      start_admin_socket(current_config()->admin_socket, &admin);
    } catch (const io_error& e) {
      write_log("ERR", std::string("No admin socket: ") + e.what());
    }
    server_handle server;
    try {
      server = start_server(current_config()->listen);
    } catch (const io_error& e) {
      write_log("SYS", e.what());
      write_log("SYS", "Boom...");
      service_notify(std::string("STATUS=Not listening: ") + e.what());
      // Running without a listener serves nobody: fail, so that the manager can retry.
      std::fprintf(stderr, "zts_server: cannot listen: %s\n", e.what());
      stop_admin_socket(&admin);
      return exit_failed;
    }
    write_log("SYS", std::string("Running ") + version_label);
    set_health_listener(server);
    std::string where;
    for (const std::string& address : server.addresses) {
      where += (where.empty() ? "" : ", ") + address;
    }
    write_log("SYS",
              "Listening on " + where + "; " + std::to_string(games_loaded) + " games loaded");
    // Ready only when listening: a manager that never hears it restarts the server.
    if (server_accepting(server)) service_notify("READY=1");
    start_notify(notify_settings(current_config()), game_root);

    // Static: the waiter thread is never joined and may still be leaving raise_stop at exit.
    static stop_signal stop;
    static int received = 0;
    static reloader reload;
    reload.path = cmd.config_path;
    reload.named = cmd.config_named;
    std::thread(wait_for_signals, handled_signals, &stop, &received, &reload).detach();
    service_watchdog watchdog;
    run_main_loop(&stop, main_tick_ms, [&] { watchdog.tick(server); });

    service_notify("STOPPING=1");
    bool drained = stop_server(&server);
    stop_notify();
    stop_admin_socket(&admin);
    write_log("SYS", "Stopped on signal " + std::to_string(received) +
                         (drained ? "" : " (requests still running were cut off)"));
    return 0;
  } catch (...) {
    write_error_cause("Error in main", "main", current_exception_text(), true);
  }
  return exit_failed;
}
