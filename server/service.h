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

// Whether the server is serving: its accept loop still runs and the game lock can be taken
// within `lock_bound` (a request or a pass that holds it longer means the server is wedged).
bool server_is_serving(const server_handle& server, std::chrono::milliseconds lock_bound)
    EXCLUDES(db_lock);

// Pings the manager at a third of its watchdog interval, and only while server_is_serving. The
// caller's loop calls tick() regularly (the main loop, every second): a loop that stops
// ticking stops the pings too, which is how a wedged main loop is noticed.
struct service_watchdog {
  service_watchdog();

  void tick(const server_handle& server) EXCLUDES(db_lock);

  std::chrono::microseconds interval;  // zero: not watched, tick() does nothing
  std::chrono::steady_clock::time_point last_ping;
};
