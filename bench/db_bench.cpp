// Game database costs: loading 10,000 game directories at start (wall time and peak resident
// memory of the loading step), and one save_game_files call with its syncs.
//
// Anchors measured in the same run: BM_read_game_files_raw reads the same 40,000 files whole
// without parsing (the I/O floor of the load); BM_write_one_file_atomic is one durable write of
// one file (save_game_files makes four).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/game.h"
#include "db/game_files.h"
#include "db/load.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int32_t game_count = 10000;

double peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// User and system CPU seconds of the process so far.
std::pair<double, double> cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

double current_rss_mb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
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

// 10,000 game directories (two to eight players each) with exactly the text the server writes;
// written plainly (no syncs), one record at a time, so that the set-up itself leaves neither
// minutes of syncing nor 10,000 records in memory before the load is measured.
struct load_fixture {
  temp_dir dir;
  std::unique_ptr<scoped_cwd> cwd;
  load_fixture() {
    cwd = std::make_unique<scoped_cwd>(dir.path);
    set_log_file(dir.file("zts.log"), false);
    for (int32_t id = 0; id < game_count; ++id) {
      game_info g = bench_game(id, 2 + id % 7);
      std::string d = "game_server/game_" + std::to_string(id) + "/";
      write_test_file(d + "name.txt", g.name);
      write_test_file(d + "descr.txt", g.descr);
      write_test_file(d + "cond.txt", format_conditions(g));
      write_test_file(d + "state.txt", format_state(g));
    }
  }
};

load_fixture& fixture() {
  static load_fixture f;
  return f;
}

// Per-iteration wall times: the median and minimum say more than the mean on a shared machine.
template <class Body>
void time_each(benchmark::State& state, Body body) {
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    body();
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p90_us"] = micros[micros.size() * 9 / 10];
  state.counters["min_us"] = micros.front();
}

// Runs first: the peak resident memory is only meaningful before anything else has grown it.
void BM_load_games(benchmark::State& state) {
  fixture();
  games.clear();
  games.shrink_to_fit();
  double rss_before = current_rss_mb();
  double peak_before = peak_rss_mb();
  auto [user_before, sys_before] = cpu_seconds();
  time_each(state, [] {
    load_games("game_server");
    benchmark::DoNotOptimize(games.data());
  });
  auto [user_after, sys_after] = cpu_seconds();
  double loads = static_cast<double>(state.iterations());
  state.counters["user_ms"] = (user_after - user_before) * 1000 / loads;
  state.counters["sys_ms"] = (sys_after - sys_before) * 1000 / loads;
  state.counters["games"] = static_cast<double>(games.size());
  state.counters["rss_before_MB"] = rss_before;
  state.counters["peak_rss_MB"] = peak_rss_mb();
  state.counters["peak_before_MB"] = peak_before;
  state.counters["load_growth_MB"] = peak_rss_mb() - rss_before;
  games.clear();
}
BENCHMARK(BM_load_games)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_read_game_files_raw(benchmark::State& state) {
  fixture();
  const char* files[] = {"name.txt", "descr.txt", "cond.txt", "state.txt"};
  time_each(state, [&] {
    size_t bytes = 0;
    for (int32_t id = 0; id < game_count; ++id) {
      std::string d = "game_server/game_" + std::to_string(id) + "/";
      for (const char* f : files) bytes += read_file(d + f).size();
    }
    benchmark::DoNotOptimize(bytes);
  });
}
BENCHMARK(BM_read_game_files_raw)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_save_game_files(benchmark::State& state) {
  temp_dir dir;
  scoped_cwd cwd(dir.path);
  games.clear();
  games.resize(1);
  games[0] = std::make_unique<game_info>(bench_game(0, 4));
  time_each(state, [] {
    save_game_files("game_server", *games[0]);
    ++games[0]->turn;
  });
  games.clear();
}
BENCHMARK(BM_save_game_files)->Unit(benchmark::kMicrosecond)->Iterations(200);

void BM_write_one_file_atomic(benchmark::State& state) {
  temp_dir dir;
  std::string text = format_state(bench_game(0, 4));
  time_each(state, [&] { write_file_atomic(dir.file("state.txt"), text); });
}
BENCHMARK(BM_write_one_file_atomic)->Unit(benchmark::kMicrosecond)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
