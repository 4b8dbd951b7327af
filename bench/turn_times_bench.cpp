// The cost of the turn times' first use against the start-up load, on the games bench/startup.sh
// writes (10,000 games of 50 turns in $DATA, default /tmp/zts-startup-data; run that first):
//
//   BM_load_games          the start-up load of every game (what the server does before it
//                          listens; it reads no turns/)
//   BM_read_every_history  reading every game's turn history, which a start-up that loaded the
//                          times at once would add
//   BM_first_use           one game's first use (read its turns/ and sum it up), per game
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "db/game.h"
#include "db/layout.h"
#include "db/load.h"
#include "db/turn_times.h"
#include "lib/log.h"
#include "tests/support/temp_dir.h"

namespace {

std::string data_dir() {
  const char* d = std::getenv("DATA");
  return d && *d ? d : "/tmp/zts-startup-data";
}

int32_t game_count() {
  return static_cast<int32_t>(list_dir(data_dir() + "/" + game_root + "/game_*").size());
}

void BM_load_games(benchmark::State& state) {
  scoped_cwd cwd(data_dir());
  set_log_file("/dev/null", false);
  for (auto _ : state) {
    mutex_lock lock(db_lock);
    load_games(game_root);
    benchmark::DoNotOptimize(games.data());
  }
  state.counters["games"] = static_cast<double>(game_count());
}
BENCHMARK(BM_load_games)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_read_every_history(benchmark::State& state) {
  const int32_t n = game_count();
  size_t saves = 0;
  for (auto _ : state) {
    saves = 0;
    for (int32_t id = 0; id < n; ++id)
      saves += read_turn_history(data_dir() + "/game_server", id).size();
  }
  state.counters["saves"] = static_cast<double>(saves);
}
BENCHMARK(BM_read_every_history)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_first_use(benchmark::State& state) {
  const int32_t n = game_count();
  const std::string root = data_dir() + "/game_server";
  int32_t id = 0;
  for (auto _ : state) {
    forget_turn_times(id);
    const turn_figures f = summarize_turns(turn_history(root, id), 4, 0);
    benchmark::DoNotOptimize(f.players.data());
    id = (id + 1) % n;
  }
}
BENCHMARK(BM_first_use)->Unit(benchmark::kMicrosecond)->Iterations(10000);

}  // namespace

BENCHMARK_MAIN();
