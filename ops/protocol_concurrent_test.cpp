// Several players moving in their own games at once, beside clients reading the lists and the
// status pages and the hourly pass running over the same games: every move is taken, every
// reader gets a whole answer, and (under ThreadSanitizer) nothing touches the games unlocked.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "db/game.h"
#include "db/refresh.h"
#include "lib/asys.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "server/server.h"
#include "tests/support/game_client.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int game_count = 4;
constexpr int moves_per_game = 12;  // two players: six whole turns

// Move `move` (0-based) of game `id`: player move % 2 of turn move / 2, dated at the start of the
// test so that the pass finds nothing stale.
std::string move_save(int id, int move) {
  static const int32_t started = static_cast<int32_t>(server_clock());
  save_recipe s = sample_save_recipe(2);
  s.game.moratorium = 0;
  s.game.save_time = started;
  s.game.server_id = "game_" + std::to_string(id);
  s.game.turn = move / 2;
  s.game.curplr = move % 2;
  return write_save(s);
}

TEST(ProtocolConcurrent, PlayersReadersAndTheHourlyPassTogether) {
  temp_dir dir;
  scoped_cwd cwd{dir.path};
  set_log_file(dir.file("zts.log"), false);
  {
    std::lock_guard lock(db_lock);
    games.clear();
  }
  {
    scoped_server server;
    const uint16_t port = server.port();
    for (int id = 0; id < game_count; ++id) {
      ASSERT_EQ(post_save(port, 8, move_save(id, 0)).body, "ZTXS\n00\nOK\n");
    }

    std::atomic<bool> players_done{false};
    std::atomic<int> refused_moves{0};
    std::atomic<int> broken_reads{0};
    std::vector<std::thread> threads;
    for (int id = 0; id < game_count; ++id) {
      threads.emplace_back([&, id] {
        for (int move = 0; move < moves_per_game; ++move) {
          const std::string fn = "?op=28&fn=game_" + std::to_string(id);
          if (game_get(port, fn).header("Content-Type") != "application/octet-stream") {
            ++broken_reads;
          }
          if (post_save(port, 27, move_save(id, move)).body != "ZTXS\n00\nOk\n") ++refused_moves;
        }
      });
    }
    std::thread reader([&] {
      while (!players_done) {
        if (!game_get(port, "?op=11").body.starts_with("ZTXS\n4\n")) ++broken_reads;
        if (!game_get(port, "?op=666").body.ends_with("  {}\n ]\n})")) ++broken_reads;
        if (http_get(port, "/ztsv_log.php?mode=1").body.empty()) ++broken_reads;
        if (http_get(port, "/ztsv_log.php?mode=2&id=2").body.empty()) ++broken_reads;
      }
    });
    std::thread pass([&] {
      while (!players_done) {
        std::lock_guard lock(db_lock);
        refresh_games(game_root);
      }
    });
    for (int id = 0; id < game_count; ++id) threads[id].join();
    players_done = true;
    reader.join();
    pass.join();
    EXPECT_EQ(refused_moves, 0);
    EXPECT_EQ(broken_reads, 0);
  }
  for (int id = 0; id < game_count; ++id) {
    const std::string game = "game_server/game_" + std::to_string(id);
    EXPECT_EQ(read_file(game + "/state.txt"),
              "turn:6\ncurplr:0\nstatus:0\nlastfile:turn_6_0.zts\nwinner:0\nplr_states:1|1\n");
    EXPECT_EQ(read_file(game + "/turns/turn_6_0.zts"), move_save(id, moves_per_game - 1))
        << "the last move, byte for byte";
  }
  std::lock_guard lock(db_lock);
  games.clear();
}

}  // namespace
