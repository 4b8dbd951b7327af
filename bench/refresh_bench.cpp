// The hourly refresh over 1,000 games whose newest saves are about 200 KB each: how long a first
// pass (every save decoded) and a pass where no save changed take. The pass holds each game's
// lock only while it refreshes that game, and db_lock only to copy and put back its record.
//
// Anchors measured in the same run: BM_read_saves_raw reads the same 1,000 files whole without
// decoding them (the I/O floor of a first pass); BM_stat_saves_raw only stats them (the floor
// of an unchanged pass, which must look at each file's identity).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "db/game.h"
#include "db/game_files.h"
#include "db/refresh.h"
#include "lib/asys.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int32_t game_count = 1000;
constexpr size_t target_save_bytes = 200 * 1024;

// A valid save of about target_save_bytes, stamped ten days ago (no rule fires for the games
// below, so every pass does the same work). The world body is noise so that it does not
// compress away.
std::string bench_save() {
  save_recipe made = sample_save_recipe(4);
  made.game.save_time = static_cast<int32_t>(server_clock() - 10 * 86400);
  std::mt19937 random(7);
  size_t body_bytes = target_save_bytes / 2;
  for (int attempt = 0; attempt < 4; ++attempt) {
    made.body.resize(body_bytes);
    for (char& c : made.body) c = static_cast<char>(random() & 0xff);
    std::string save = write_save(made);
    if (save.size() >= target_save_bytes * 95 / 100 &&
        save.size() <= target_save_bytes * 105 / 100) {
      return save;
    }
    body_bytes = body_bytes * target_save_bytes / save.size();
  }
  return write_save(made);
}

struct refresh_fixture {
  temp_dir dir;
  std::unique_ptr<scoped_cwd> cwd;
  size_t save_size = 0;
  refresh_fixture() {
    cwd = std::make_unique<scoped_cwd>(dir.path);
    set_log_file(dir.file("zts.log"), false);
    std::string save = bench_save();
    save_size = save.size();
    std::lock_guard lock(db_lock);
    games.clear();
    games.resize(game_count);
    for (int32_t id = 0; id < game_count; ++id) {
      game_info& g = new_game_info(id);
      g.name = "Game " + std::to_string(id);
      g.plr_cnt = 4;
      g.turn = 10;
      g.status = id % 4;  // in play, opening phase, finished, archived
      g.lastfile = "turn_10_" + std::to_string(id % 4) + ".zts";
      write_test_file("game_server/game_" + std::to_string(id) + "/turns/" + g.lastfile, save);
      save_game_files("game_server", g);
    }
  }
};

refresh_fixture& fixture() {
  static refresh_fixture f;
  return f;
}

// Times one pass, as the main loop runs it.
double pass_ms() {
  auto start = std::chrono::steady_clock::now();
  refresh_games("game_server");
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

void report(benchmark::State& state, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  state.counters["pass_median_ms"] = ms[ms.size() / 2];
  state.counters["pass_min_ms"] = ms.front();
  state.counters["pass_max_ms"] = ms.back();
  state.counters["save_KB"] = static_cast<double>(fixture().save_size) / 1024.0;
}

void BM_refresh_first_pass(benchmark::State& state) {
  fixture();
  std::vector<double> ms;
  for (auto _ : state) {
    state.PauseTiming();
    clear_save_stamps();
    state.ResumeTiming();
    ms.push_back(pass_ms());
  }
  report(state, ms);
}
BENCHMARK(BM_refresh_first_pass)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_refresh_unchanged_pass(benchmark::State& state) {
  fixture();
  pass_ms();  // every save decoded once
  std::vector<double> ms;
  for (auto _ : state) ms.push_back(pass_ms());
  report(state, ms);
}
BENCHMARK(BM_refresh_unchanged_pass)->Unit(benchmark::kMillisecond)->Iterations(50);

void BM_read_saves_raw(benchmark::State& state) {
  fixture();
  for (auto _ : state) {
    size_t bytes = 0;
    for (int32_t id = 0; id < game_count; ++id) {
      bytes += read_file("game_server/game_" + std::to_string(id) + "/turns/" +
                         games[static_cast<size_t>(id)]->lastfile)
                   .size();
    }
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_read_saves_raw)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_stat_saves_raw(benchmark::State& state) {
  fixture();
  std::vector<double> ms;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    size_t bytes = 0;
    for (int32_t id = 0; id < game_count; ++id) {
      struct stat st;
      std::string path = "game_server/game_" + std::to_string(id) + "/turns/" +
                         games[static_cast<size_t>(id)]->lastfile;
      if (::stat(path.c_str(), &st) == 0) bytes += static_cast<size_t>(st.st_size);
    }
    benchmark::DoNotOptimize(bytes);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["min_ms"] = ms.front();
}
BENCHMARK(BM_stat_saves_raw)->Unit(benchmark::kMillisecond)->Iterations(50);

}  // namespace

BENCHMARK_MAIN();
