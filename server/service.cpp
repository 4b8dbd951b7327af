#include "server/service.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <memory>

#include "db/game.h"
#include "lib/asys.h"
#include "lib/metrics.h"

using std::chrono::microseconds;
using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

bool service_notify(const std::string& state) {
  return sd_notify(0, state.c_str()) > 0;
}

microseconds service_watchdog_interval() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return microseconds(0);
  return microseconds(usec);
}

namespace {

// steady_ns() of the main loop's last tick; 0: it has not started.
std::atomic<int64_t> last_tick_ns{0};

annotated_mutex health_mutex;  // a leaf: held only to copy or set the pointer
std::weak_ptr<server_state> health_listener GUARDED_BY(health_mutex);

}  // namespace

std::string serving_problem(const server_handle& server, milliseconds lock_bound) {
  if (!server_accepting(server)) return "the listener does not accept connections";
  // A held lock is normal for a few milliseconds (a move's disk sync).
  if (!game_locks_free_within(lock_bound)) {
    return "a game lock stayed held for " + std::to_string(lock_bound.count()) + " ms";
  }
  return "";
}

bool server_is_serving(const server_handle& server, milliseconds lock_bound) {
  return serving_problem(server, lock_bound).empty();
}

void note_main_loop_tick() {
  last_tick_ns.store(steady_ns());
}

void set_health_listener(const server_handle& server) {
  mutex_lock lock(health_mutex);
  health_listener = server.state;
}

std::string health_problem(milliseconds lock_bound) {
  const int64_t tick = last_tick_ns.load();
  if (tick == 0) return "the main loop is not running";
  const int64_t since_s = (steady_ns() - tick) / 1000000000;
  if (since_s > main_loop_stall.count()) {
    return "the main loop has not ticked for " + std::to_string(since_s) + " s";
  }
  server_handle server;
  {
    mutex_lock lock(health_mutex);
    server.state = health_listener.lock();
  }
  return serving_problem(server, lock_bound);
}

service_watchdog::service_watchdog() : interval(service_watchdog_interval()) {}

void service_watchdog::tick(const server_handle& server) {
  if (interval.count() == 0) return;
  const auto now = steady::now();
  if (now - last_ping < interval / 3) return;
  // A quarter of the interval for the lock leaves time to ping before the manager gives up.
  auto bound = std::chrono::duration_cast<milliseconds>(interval / 4);
  if (!server_is_serving(server, bound)) return;
  service_notify("WATCHDOG=1");
  last_ping = now;
}
