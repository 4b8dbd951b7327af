// Telling a supervising service manager how the server is doing, over the notification socket it
// names in $NOTIFY_SOCKET: READY=1 once listening, STOPPING=1 when an orderly stop begins,
// RELOADING=1 around a configuration reread, and WATCHDOG=1 pings while the server really serves.
// Without $NOTIFY_SOCKET every call here does nothing.
#pragma once

#include <chrono>
#include <string>

#include "db/game.h"
#include "lib/mutex.h"
#include "server/server.h"

// Sends `state` ("READY=1", "WATCHDOG=1", ...). Returns false when no manager listens or the
// datagram could not be sent; the server carries on either way.
bool service_notify(const std::string& state);

// How often the manager expects a ping ($WATCHDOG_USEC, for this process), or zero when it does
// not watch.
std::chrono::microseconds service_watchdog_interval();

// Why the server is not serving, or "" when it is: its accept loop still runs, and db_lock and
// then every game's lock can each be taken within `lock_bound` (a request or a pass that holds
// one longer means the server is wedged). The one test behind the watchdog and /healthz.
std::string serving_problem(const server_handle& server, std::chrono::milliseconds lock_bound)
    EXCLUDES(db_lock);

// serving_problem(...) is "".
bool server_is_serving(const server_handle& server, std::chrono::milliseconds lock_bound)
    EXCLUDES(db_lock);

// How long the main loop may go without a tick before /healthz calls it stuck (an hourly pass
// over many games runs inside one tick).
inline constexpr std::chrono::seconds main_loop_stall{60};

// Records that the main loop ticked; run_main_loop calls it at its start and every tick.
void note_main_loop_tick();

// The listener /healthz reports on: main's, once it listens (a test's own in-process server).
// Kept as a weak reference: a stopped and dropped server is "not accepting".
void set_health_listener(const server_handle& server);

// What /healthz says: "" when the health listener is serving (serving_problem) and the main loop
// ticked within main_loop_stall; else the reason, one line.
std::string health_problem(std::chrono::milliseconds lock_bound) EXCLUDES(db_lock);

// Pings the manager at a third of its watchdog interval, and only while server_is_serving. The
// caller's loop calls tick() regularly (the main loop, every second): a loop that stops
// ticking stops the pings too, which is how a wedged main loop is noticed.
struct service_watchdog {
  service_watchdog();

  void tick(const server_handle& server) EXCLUDES(db_lock);

  std::chrono::microseconds interval;  // zero: not watched, tick() does nothing
  std::chrono::steady_clock::time_point last_ping;
};
