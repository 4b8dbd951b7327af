#include "server/service.h"

#include <systemd/sd-daemon.h>

#include "db/game.h"
#include "lib/asys.h"

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

bool server_is_serving(const server_handle& server, milliseconds lock_bound) {
  if (!server_accepting(server)) return false;
  // The mutex has no timed lock: poll for it. A held lock is normal for a few milliseconds.
  const auto give_up = steady::now() + lock_bound;
  for (;;) {
    if (db_lock.try_lock()) {
      db_lock.unlock();
      return true;
    }
    if (steady::now() >= give_up) return false;
    sleep_ms(2);
  }
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
