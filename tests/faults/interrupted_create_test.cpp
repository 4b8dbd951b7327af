// A creation cut off by a crash: the new game is built under game_server/.new/ and renamed into
// place whole, so what a crash leaves there is never loaded as a game, and the next creation of
// that id clears it.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "db/game.h"
#include "db/generation.h"
#include "db/load.h"
#include "lib/log.h"
#include "server/server.h"
#include "tests/faults/fault_support.h"
#include "tests/support/game_client.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(InterruptedCreate, LeftoverIsNeverAGameAndIsClearedByTheNextCreate) {
  temp_dir dir;
  scoped_cwd cwd(dir.path);
  set_log_file(dir.file("zts.log"), false);
  // What a kill between cond.txt and state.txt of a creation leaves behind.
  write_test_file(dir.file("game_server/.new/game_0/name.txt"), "Half");
  write_test_file(dir.file("game_server/.new/game_0/cond.txt"), "map:x\nplr_cnt:3\n");
  write_test_file(dir.file("game_server/.new/game_0/turns/turn_0_0.zts"), "ZTNX");
  {
    std::lock_guard lock(db_lock);
    load_games(game_root);
    EXPECT_TRUE(games.empty());
  }
  scoped_server server;
  EXPECT_EQ(game_get(server.port(), "?op=11").body, "ZTXS\n0\n");

  const std::string save = move_save("Whole", "game_0", 3, 0, 0, 500, 1);
  EXPECT_EQ(post_save(server.port(), 8, save).body, "ZTXS\n00\nOK\n");
  auto files = read_tree(dir.file("game_server"));
  EXPECT_EQ(files.size(), 5u);
  EXPECT_EQ(files["game_0/name.txt"], "Whole");
  EXPECT_EQ(files["game_0/turns/turn_0_0.zts"], save);
  EXPECT_TRUE(files.contains("game_0/state.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("game_server/.new")));
  EXPECT_TRUE(game_get(server.port(), "?op=11").body.starts_with("ZTXS\n1\ngame_0\n"));

  std::lock_guard lock(db_lock);
  games.clear();
  bump_games_generation();  // the kept lists must not outlive this change
}

}  // namespace
