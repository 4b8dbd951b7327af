// Game database costs: loading 10,000 game directories at start (time and peak resident
// memory), and one save_game_files call with its syncs.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "db/game.h"
#include "db/game_files.h"
#include "db/load.h"
#include "lib/log.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int32_t game_count = 10000;

double peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

game_info bench_game(int32_t id, int32_t players) {
  game_info g;
  g.id = id;
  g.name = "Game number " + std::to_string(id);
  g.descr = "A description of some length for game " + std::to_string(id);
  g.map = "Big Map";
  g.plr_cnt = players;
  for (int32_t p = 0; p < players; ++p) {
    g.teams.push_back("Team " + std::to_string(p));
    g.colors.push_back("00FF" + std::to_string(10 + p));
    g.plr_states.push_back(true);
  }
  g.money = 1000;
  g.uniset = "classic";
  g.turn = id % 50;
  g.curplr = id % players;
  g.status = id % 4;
  g.lastfile = "turn_" + std::to_string(g.turn) + "_" + std::to_string(g.curplr) + ".zts";
  return g;
}

// 10,000 game directories (two to eight players each) written once through the server's own
// writer; the benchmark then loads them as the server does at start.
struct load_fixture {
  temp_dir dir;
  std::unique_ptr<scoped_cwd> cwd;
  load_fixture() {
    cwd = std::make_unique<scoped_cwd>(dir.path);
    set_log_file(dir.file("zts.log"), false);
    games.clear();
    games.resize(game_count);
    for (int32_t id = 0; id < game_count; ++id) {
      games[id] = std::make_unique<game_info>(bench_game(id, 2 + id % 7));
      save_game_files("game_server", id);
    }
    games.clear();
    games.shrink_to_fit();
  }
};

void BM_load_games(benchmark::State& state) {
  static load_fixture fixture;
  double rss_before = peak_rss_mb();
  for (auto _ : state) {
    load_games("game_server");
    benchmark::DoNotOptimize(games.data());
  }
  state.counters["games"] = static_cast<double>(games.size());
  state.counters["peak_rss_MB"] = peak_rss_mb();
  state.counters["peak_rss_growth_MB"] = peak_rss_mb() - rss_before;
  games.clear();
}
BENCHMARK(BM_load_games)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_save_game_files(benchmark::State& state) {
  temp_dir dir;
  scoped_cwd cwd(dir.path);
  games.clear();
  games.resize(1);
  games[0] = std::make_unique<game_info>(bench_game(0, 4));
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    save_game_files("game_server", 0);
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    ++games[0]->turn;
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p90_us"] = micros[micros.size() * 9 / 10];
  games.clear();
}
BENCHMARK(BM_save_game_files)->Unit(benchmark::kMicrosecond)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
