// The main thread after start-up: a tick every second, and a refresh pass over every game once
// more than an hour (by server_clock) has gone by since the last pass ended. The first pass runs
// at the first tick.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>

#include "db/game.h"
#include "lib/mutex.h"

// Seconds that must pass (by server_clock, unsigned) between the end of one refresh pass and the
// next: a pass runs when the difference exceeds this.
inline constexpr uint32_t refresh_interval_s = 3600;
// The main loop's tick.
inline constexpr uint32_t main_tick_ms = 1000;
// Every this many ticks the main loop gives the memory the allocator holds unused back to the
// system.
inline constexpr uint32_t trim_every_ticks = 10;

// A stop request that any thread can raise and the main loop waits on between ticks.
struct stop_signal {
  annotated_mutex mutex;
  std::condition_variable raised_cv;
  bool raised GUARDED_BY(mutex) = false;
};

void raise_stop(stop_signal* stop);

// Waits up to `ms` milliseconds; true as soon as the stop is raised.
bool wait_for_stop(stop_signal* stop, uint32_t ms);

// Loads every game from game_root into `games` at start-up. Returns how many games it holds then.
int load_game_list() EXCLUDES(db_lock);

// Refreshes every slot of `games` in ascending order (the slot count is read once), each game
// under its own lock (db/refresh.h).
void refresh_all_games() EXCLUDES(db_lock);

// Ticks every `tick_ms` and runs the refresh pass (then "Status refresh.") until the stop is
// raised. `on_tick`, when set, runs at every tick before the pass, holding no lock.
void run_main_loop(stop_signal* stop, uint32_t tick_ms = main_tick_ms,
                   const std::function<void()>& on_tick = {}) EXCLUDES(db_lock);
