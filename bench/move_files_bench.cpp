// The anchor of the op=27 figure in bench/ops_bench.sh: the file work of accepted moves with no
// server around it. Each thread owns a directory laid out like a game's and, for every "move",
// durably writes a new turn file of --bytes and then a new state.txt, each written to a temporary,
// synced, renamed into place and its directory synced (lib's write_file_atomic), until the time is
// up. Prints moves/s and the latency of one move. With --like-server 1 it does the file work as
// the server does it: state.txt is written into its kept spare, synced, exchanged with state.txt
// and the directory synced (lib's replace_keeping_spare), so that no inode is freed per move, and
// the turn file a move replaces as the newest is dropped from the page cache (drop_from_cache).
// Built by the bench glob, but a program of its own (its own main, no Google Benchmark cases).
//
//   move_files_bench --dir /tmp/x --threads 64 --seconds 10 [--bytes 204800] [--like-server 1]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "lib/file_io.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct options {
  std::string dir;
  int threads = 64;
  int seconds = 10;
  size_t bytes = 200 * 1024;
  bool like_server = false;
};

bool parse(int argc, char** argv, options* opt) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* v = argv[i + 1];
    if (key == "--dir") {
      opt->dir = v;
    } else if (key == "--threads") {
      opt->threads = std::atoi(v);
    } else if (key == "--seconds") {
      opt->seconds = std::atoi(v);
    } else if (key == "--like-server") {
      opt->like_server = std::atoi(v) != 0;
    } else if (key == "--bytes") {
      opt->bytes = static_cast<size_t>(std::atoll(v));
    } else {
      return false;
    }
  }
  return !opt->dir.empty() && opt->threads > 0 && opt->seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
  options opt;
  if (!parse(argc, argv, &opt)) {
    std::fprintf(stderr,
                 "usage: %s --dir DIR [--threads N] [--seconds S] [--bytes B] [--like-server 1]\n",
                 argv[0]);
    return 2;
  }
  // Incompressible enough and the size of an upload; the state text is what a move writes.
  std::string turn(opt.bytes, 'x');
  for (size_t i = 0; i < turn.size(); ++i) turn[i] = static_cast<char>('A' + (i * 7919) % 26);
  for (int t = 0; t < opt.threads; ++t) {
    make_dirs(opt.dir + "/game_" + std::to_string(t) + "/turns");
  }

  std::vector<std::vector<double>> latencies(opt.threads);
  std::atomic<bool> go{false};
  std::atomic<int> failures{0};
  clock_type::time_point start;
  std::vector<std::thread> threads;
  for (int t = 0; t < opt.threads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      const std::string game = opt.dir + "/game_" + std::to_string(t);
      for (int move = 0; clock_type::now() - start < std::chrono::seconds(opt.seconds); ++move) {
        const auto t0 = clock_type::now();
        const std::string file =
            "turn_" + std::to_string(move / 2) + "_" + std::to_string(move % 2) + ".zts";
        try {
          write_file_atomic(game + "/turns/" + file, turn);
          const std::string state = "turn:" + std::to_string(move / 2) +
                                    "\ncurplr:" + std::to_string(move % 2) +
                                    "\nstatus:0\nlastfile:" + file + "\nwinner:0\nplr_states:1|1\n";
          if (opt.like_server) {
            replace_keeping_spare(game + "/state.txt", state);
            if (move > 0) {
              drop_from_cache(game + "/turns/turn_" + std::to_string((move - 1) / 2) + "_" +
                              std::to_string((move - 1) % 2) + ".zts");
            }
          } else {
            write_file_atomic(game + "/state.txt", state);
          }
        } catch (const io_error&) {
          ++failures;
          return;
        }
        latencies[t].push_back(
            std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
      }
    });
  }
  start = clock_type::now();
  go = true;
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();

  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  auto pct = [&](double p) { return all.empty() ? 0.0 : all[(all.size() - 1) * p / 100]; };
  std::printf(
      "file work of moves/s %.1f (%zu moves, %d threads, %.1f s), p50 %.1f ms, "
      "p99 %.1f ms, failures %d\n",
      all.size() / elapsed, all.size(), opt.threads, elapsed, pct(50), pct(99), failures.load());
  return failures == 0 ? 0 : 1;
}
