#include "server/main_loop.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>

#include "db/game.h"
#include "db/load.h"
#include "db/refresh.h"
#include "lib/asys.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "server/service.h"

void raise_stop(stop_signal* stop) {
  mutex_lock lock(stop->mutex);
  stop->raised = true;
  stop->raised_cv.notify_all();
}

bool wait_for_stop(stop_signal* stop, uint32_t ms) {
  mutex_lock lock(stop->mutex);
  return lock.wait_for(stop->raised_cv, std::chrono::milliseconds(ms), [&] {
    stop->mutex.assert_held();
    return stop->raised;
  });
}

int load_game_list() {
  // No other thread runs yet; the lock costs nothing and keeps the rule without exceptions.
  mutex_lock lock(db_lock);
  load_games(game_root);
  return static_cast<int>(
      std::count_if(games.begin(), games.end(), [](const auto& g) { return g != nullptr; }));
}

void refresh_all_games() {
  refresh_games(game_root);
}

void run_main_loop(stop_signal* stop, uint32_t tick_ms, const std::function<void()>& on_tick) {
  // 0 makes the first tick run a pass: a second after start rather than an hour.
  uint32_t last_refresh = 0;
  uint32_t ticks = 0;
  note_main_loop_tick();
  while (!wait_for_stop(stop, tick_ms)) {
    note_main_loop_tick();
    // Blocks freed by the loops and workers stay with the allocator (main.cpp keeps them on
    // purpose: faulting pages back in is dear); under churn that reserve grew with the size of
    // the lists. Handing it back every few ticks bounds it by what a few seconds use.
    if (++ticks % trim_every_ticks == 0) malloc_trim(0);
    if (on_tick) on_tick();
    if (static_cast<uint32_t>(server_clock() - last_refresh) <= refresh_interval_s) continue;
    const int64_t start = steady_ns();
    refresh_all_games();
    observe_refresh_duration(seconds_since_ns(start));
    last_refresh = server_clock();
    write_log("UPD", "Status refresh.");
  }
}
