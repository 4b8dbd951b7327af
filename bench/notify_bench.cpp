// What turn notifications cost a move: op=27 latency through the in-process server with no
// targets, and with three targets (two answering, one that never answers) fed by the sender
// thread. Each case plays its own two-player game move after move and reports the median and
// p99 of the upload's round trip (counters p50_ms, p99_ms); compare the two in the same run.
//
//   build/bench/notify_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "db/game.h"
#include "lib/log.h"
#include "notify/sender.h"
#include "server/server.h"
#include "tests/support/game_client.h"
#include "tests/support/http_receiver.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

// Small enough that the run stays short, large enough that a move does real file work.
constexpr size_t save_body_bytes = 20 * 1024;

std::string move_save(int k) {
  save_recipe s = sample_save_recipe(2);
  s.game.server_id = "game_0";
  s.game.turn = k / 2;
  s.game.curplr = k % 2;
  s.body = std::string(save_body_bytes, 'x');
  return write_save(s);
}

void BM_submit_move(benchmark::State& state) {
  const int targets = static_cast<int>(state.range(0));
  temp_dir dir;
  scoped_cwd cwd(dir.path);
  set_log_file(dir.file("zts.log"), false);
  {
    mutex_lock lock(db_lock);
    games.clear();
  }
  scoped_server server;
  http_receiver answering_1;
  http_receiver answering_2;
  http_receiver silent;
  silent.set_answer(receiver_answer::hang);
  if (post_save(server.port(), 8, move_save(0)).body != "ZTXS\n00\nOK\n") {
    state.SkipWithError("create failed");
    return;
  }
  if (targets > 0) {
    notify_config config;
    for (http_receiver* r : {&answering_1, &answering_2, &silent}) {
      notify_target t;
      t.url = r->url();
      t.format = notify_format::discord;
      config.targets.push_back(t);
    }
    start_notify(std::make_shared<const notify_config>(std::move(config)), game_root);
  }
  std::vector<double> ms;
  int k = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string save = move_save(k++);
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    http_reply r = post_save(server.port(), 27, save);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
    if (r.body != "ZTXS\n00\nOk\n") state.SkipWithError("move refused");
  }
  stop_notify();
  std::sort(ms.begin(), ms.end());
  state.counters["p50_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[(ms.size() - 1) * 99 / 100];
  state.counters["messages"] = static_cast<double>(answering_1.requests().size());
  {
    mutex_lock lock(db_lock);
    games.clear();
  }
}

// The sender's look at the games, which holds the game lock: 10,000 four-player games, one of
// which moved since the last look.
void BM_snapshot_games(benchmark::State& state) {
  {
    mutex_lock lock(db_lock);
    games.clear();
    games.resize(10000);
    for (int32_t id = 0; id < 10000; ++id) {
      game_info& g = new_game_info(id);
      g.name = "league_" + std::to_string(id);
      g.teams = {"Red", "Green", "Blue", "Yellow"};
      g.plr_states = {true, true, true, true};
    }
  }
  std::vector<game_view> views;
  snapshot_games(&views);
  for (auto _ : state) {
    // One game moved since the last look.
    {
      mutex_lock lock(db_lock);
      ++games[1234]->turn;
    }
    snapshot_games(&views);
  }
  mutex_lock lock(db_lock);
  games.clear();
}
BENCHMARK(BM_snapshot_games)->Unit(benchmark::kMillisecond);

// Alternated, so that a change in the machine's load hits both cases alike.
BENCHMARK(BM_submit_move)->Arg(0)->Arg(3)->Arg(0)->Arg(3)->Iterations(2000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
