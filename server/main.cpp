// zts_server: takes no arguments and reads no configuration. It keeps all state relative to its
// working directory (game_server/ and zts.log) and listens on port 80 of local_ip().
// SIGINT and SIGTERM stop it in order: no new connections, requests in flight finish (bounded
// by stop_grace_ms), a "SYS" line, exit status 0.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <string>
#include <thread>

#include "lib/file_io.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "net/socket.h"
#include "server/main_loop.h"
#include "server/server.h"

namespace {

constexpr uint16_t server_port = 80;
constexpr const char* version_label = "150624-1";

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts later, so that
// only the waiter below receives them.
sigset_t block_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

void wait_for_signal(sigset_t set, stop_signal* stop, int* received) {
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  *received = sig;
  raise_stop(stop);
}

}  // namespace

int main() {
  // Turn files, uploads and lists run to hundreds of KB per request. By default each such block
  // is a fresh mapping, faulted in page by page and unmapped after the reply, and a freed heap
  // top is handed back at once; where page faults are dear (sandboxed hosts: ~50 us a page)
  // that alone cost 8 ms of a 200 KB download. Keep large blocks in the heap and keep the heap.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  set_log_file("zts.log", true);
  set_build_info(version_label);
  try {
    sigset_t stop_signals = block_stop_signals();
    load_game_list();
    server_handle server;
    try {
      server = start_server(local_ip(), server_port);
    } catch (const io_error& e) {
      write_log("SYS", e.what());
      write_log("SYS", "Boom...");
    }
    write_log("SYS", std::string("Running ") + version_label);

    // Static: the waiter thread is never joined and may still be leaving raise_stop at exit.
    static stop_signal stop;
    static int received = 0;
    std::thread(wait_for_signal, stop_signals, &stop, &received).detach();
    run_main_loop(&stop);

    bool drained = stop_server(&server);
    write_log("SYS", "Stopped on signal " + std::to_string(received) +
                         (drained ? "" : " (requests still running were cut off)"));
    return 0;
  } catch (...) {
    write_log("ERR", "Error in main", true);
  }
  return 0;
}
