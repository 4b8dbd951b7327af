// Several players moving in their own games at once, beside creations, clients reading the lists
// and the status pages, and the hourly pass over the same games: every move is taken, every
// reader sees each game before or after a move and never half of one, a list read after a reply
// shows that reply's move, and a game whose lock is held (its move syncing) holds up nothing of
// the other games. Under ThreadSanitizer, nothing touches the games unlocked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/game.h"
#include "db/generation.h"
#include "db/layout.h"
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
constexpr int created_during_play = 3;
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

// The state.txt text of a game after `moves` accepted moves.
std::string state_after(int moves) {
  const std::string turn = std::to_string(moves / 2);
  const std::string plr = std::to_string(moves % 2);
  return "turn:" + turn + "\ncurplr:" + plr + "\nstatus:0\nlastfile:turn_" + turn + "_" + plr +
         ".zts\nwinner:0\nplr_states:1|1\n";
}

// Moves taken so far by a game whose listed state is `state`, or -1 when the state is not one a
// game passes through whole.
int moves_of(const std::string& state) {
  for (int moves = 0; moves <= moves_per_game + 1; ++moves) {
    if (state == state_after(moves)) return moves;
  }
  return -1;
}

// The plain list (op=11 body) read back: game id -> the state text of its block. Empty when the
// body is not a whole list (count, ids and blocks agreeing).
std::map<int, std::string> parse_plain_list(const std::string& body) {
  std::map<int, std::string> out;
  size_t at = 0;
  auto line = [&]() {
    const size_t end = body.find('\n', at);
    if (end == std::string::npos) throw std::runtime_error("cut short");
    std::string text = body.substr(at, end - at);
    at = end + 1;
    return text;
  };
  // A section "<tag> <len>\n<text>\n".
  auto section = [&](const std::string& tag) {
    const std::string head = line();
    if (!head.starts_with(tag + " ")) throw std::runtime_error("no " + tag);
    const size_t len = std::stoul(head.substr(tag.size() + 1));
    std::string text = body.substr(at, len);
    at += len + 1;
    return text;
  };
  try {
    if (line() != "ZTXS") return {};
    const int count = std::stoi(line());
    std::vector<int> ids;
    for (int i = 0; i < count; ++i) ids.push_back(std::stoi(line().substr(5)));
    for (int id : ids) {
      if (line() != "x9") return {};
      section("x1");
      section("x2");
      section("x3");
      out[id] = section("x4");
    }
    if (at != body.size()) return {};
  } catch (const std::exception&) {
    return {};
  }
  return out;
}

// Runs `call` on a thread of its own; true when it finished within `seconds`.
bool finishes_within(std::future<void>& call, int seconds) {
  return call.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
}

TEST(ProtocolConcurrent, GamesMoveApartWhileReadersSeeWholeStates) {
  temp_dir dir;
  scoped_cwd cwd{dir.path};
  set_log_file(dir.file("zts.log"), false);
  {
    std::lock_guard lock(db_lock);
    games.clear();
    bump_games_generation();
  }
  {
    scoped_server server;
    const uint16_t port = server.port();
    for (int id = 0; id < game_count; ++id) {
      ASSERT_EQ(post_save(port, 8, move_save(id, 0)).body, "ZTXS\n00\nOK\n");
    }

    std::atomic<bool> players_done{false};
    std::atomic<int> refused{0};
    std::atomic<int> stale_downloads{0};
    std::atomic<int> stale_lists{0};
    std::atomic<int> broken_reads{0};
    std::atomic<int> went_back{0};
    std::vector<std::thread> threads;
    for (int id = 0; id < game_count; ++id) {
      threads.emplace_back([&, id] {
        const std::string fn = "?op=28&fn=game_" + std::to_string(id);
        for (int move = 0; move < moves_per_game; ++move) {
          // The newest turn file is the save of the move before (the creation's at first).
          if (game_get(port, fn).body != move_save(id, std::max(move - 1, 0))) ++stale_downloads;
          if (post_save(port, 27, move_save(id, move)).body != "ZTXS\n00\nOk\n") ++refused;
          // A list read after the reply shows the move: the kept list was built after it.
          const auto listed = parse_plain_list(game_get(port, "?op=11").body);
          auto it = listed.find(id);
          if (it == listed.end() || moves_of(it->second) < move + 1) ++stale_lists;
        }
      });
    }
    std::vector<std::thread> creators;  // side by side, sharing the staging directory
    for (int k = 0; k < created_during_play; ++k) {
      creators.emplace_back([&, k] {
        if (post_save(port, 8, move_save(game_count + k, 0)).body != "ZTXS\n00\nOK\n") ++refused;
      });
    }
    std::thread reader([&] {
      std::map<int, int> last_seen;  // game -> moves seen in the last list
      while (!players_done) {
        const auto listed = parse_plain_list(game_get(port, "?op=11").body);
        if (listed.size() < game_count) ++broken_reads;
        for (const auto& [id, state] : listed) {
          const int moves = moves_of(state);
          if (moves < 0) ++broken_reads;
          if (moves < last_seen[id]) ++went_back;
          last_seen[id] = moves;
        }
        const std::string jsonp = game_get(port, "?op=666").body;
        if (!jsonp.starts_with("parseResult({") || !jsonp.ends_with("  {}\n ]\n})")) {
          ++broken_reads;
        }
        if (!http_get(port, "/ztsv_log.php?mode=1").body.ends_with("</html>\n")) ++broken_reads;
        if (!http_get(port, "/ztsv_log.php").body.ends_with("</html>\n")) ++broken_reads;
        if (http_get(port, "/ztsv_log.php?mode=2&id=2").body.empty()) ++broken_reads;
      }
    });
    std::thread pass([&] {
      while (!players_done) refresh_games(game_root);
    });
    for (int id = 0; id < game_count; ++id) threads[id].join();
    for (std::thread& creator : creators) creator.join();
    players_done = true;
    reader.join();
    pass.join();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(stale_downloads, 0);
    EXPECT_EQ(stale_lists, 0);
    EXPECT_EQ(broken_reads, 0);
    EXPECT_EQ(went_back, 0);

    // Game 0's lock held, as by a move of game 0 in the middle of its syncs: every request of
    // the other games, the lists, the pages and a creation are still served; game 0's own
    // move waits for it; the watchdog's check sees the lock taken.
    auto held = std::make_unique<std::unique_lock<annotated_mutex>>(game_lock(0));
    EXPECT_FALSE(game_locks_free_within(std::chrono::milliseconds(50)));
    std::future<void> own_move = std::async(std::launch::async, [&] {
      EXPECT_EQ(post_save(port, 27, move_save(0, moves_per_game)).body, "ZTXS\n00\nOk\n");
    });
    std::future<void> others = std::async(std::launch::async, [&] {
      EXPECT_EQ(post_save(port, 27, move_save(1, moves_per_game)).body, "ZTXS\n00\nOk\n");
      EXPECT_EQ(game_get(port, "?op=28&fn=game_2").body, move_save(2, moves_per_game - 1));
      EXPECT_EQ(post_save(port, 8, move_save(game_count + created_during_play, 0)).body,
                "ZTXS\n00\nOK\n");
      const auto listed = parse_plain_list(game_get(port, "?op=11").body);
      EXPECT_EQ(listed.size(), game_count + created_during_play + 1);
      EXPECT_EQ(moves_of(listed.at(0)), moves_per_game) << "game 0 before its pending move";
      EXPECT_EQ(moves_of(listed.at(1)), moves_per_game + 1);
      EXPECT_TRUE(game_get(port, "?op=666").body.ends_with("  {}\n ]\n})"));
      EXPECT_FALSE(http_get(port, "/ztsv_log.php?mode=2&id=0").body.empty());
      refresh_game(game_root, 1);
    });
    const bool others_served = finishes_within(others, 20);
    EXPECT_TRUE(others_served) << "a request waited for game 0's lock";
    EXPECT_EQ(own_move.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    held.reset();
    EXPECT_TRUE(finishes_within(own_move, 20));
    if (!others_served) others.wait();
    EXPECT_TRUE(game_locks_free_within(std::chrono::milliseconds(1000)));
  }
  for (int id = 0; id < game_count; ++id) {
    const int moves = id < 2 ? moves_per_game + 1 : moves_per_game;
    const std::string game = "game_server/game_" + std::to_string(id);
    EXPECT_EQ(read_file(game + "/state.txt"), state_after(moves)) << game;
    EXPECT_EQ(read_file(game + "/turns/" + "turn_" + std::to_string(moves / 2) + "_" +
                        std::to_string(moves % 2) + ".zts"),
              move_save(id, moves - 1))
        << "the last move, byte for byte";
  }
  for (int id = game_count; id <= game_count + created_during_play; ++id) {
    EXPECT_EQ(read_file("game_server/game_" + std::to_string(id) + "/state.txt"), state_after(0));
  }
  EXPECT_FALSE(std::filesystem::exists("game_server/.new")) << "the last creation removes it";
  std::lock_guard lock(db_lock);
  games.clear();
  bump_games_generation();
}

}  // namespace
