#include "server/main_loop.h"

#include <chrono>

#include "db/game.h"
#include "db/load.h"
#include "db/refresh.h"
#include "lib/asys.h"
#include "lib/log.h"

void raise_stop(stop_signal* stop) {
  std::lock_guard<std::mutex> lock(stop->mutex);
  stop->raised = true;
  stop->raised_cv.notify_all();
}

bool wait_for_stop(stop_signal* stop, uint32_t ms) {
  std::unique_lock<std::mutex> lock(stop->mutex);
  return stop->raised_cv.wait_for(lock, std::chrono::milliseconds(ms),
                                  [&] { return stop->raised; });
}

void load_game_list() {
  load_games(game_root);
}

void refresh_all_games() {
  refresh_games(game_root);
}

void run_main_loop(stop_signal* stop, uint32_t tick_ms) {
  // 0 makes the first tick run a pass: a second after start rather than an hour.
  uint32_t last_refresh = 0;
  while (!wait_for_stop(stop, tick_ms)) {
    if (static_cast<uint32_t>(server_clock() - last_refresh) <= refresh_interval_s) continue;
    std::lock_guard<std::mutex> lock(db_lock);
    refresh_all_games();
    last_refresh = server_clock();
    write_log("UPD", "Status refresh.");
  }
}
