#include "db/layout.h"

#include <gtest/gtest.h>

#include "db/game.h"

namespace {

TEST(Layout, EveryPathOfAGame) {
  game_info g;
  g.id = 12;
  g.lastfile = "set_1_2.zts";
  EXPECT_EQ(game_dir(game_root, 12), "game_server/game_12");
  EXPECT_EQ(game_file("root", 12, state_file), "root/game_12/state.txt");
  EXPECT_EQ(turns_dir(game_root, 12), "game_server/game_12/turns");
  EXPECT_EQ(newest_save_path(game_root, g), "game_server/game_12/turns/set_1_2.zts");
  EXPECT_EQ(staged_game_dir(game_root, 12), "game_server/.new/game_12");
  EXPECT_EQ(turn_file_name(3, 1, false), "turn_3_1.zts");
  EXPECT_EQ(turn_file_name(0, 0, true), "set_0_0.zts");
}

TEST(Layout, DirectoryNumbersAreReadLeniently) {
  EXPECT_EQ(game_dir_number("game_7"), 7);
  EXPECT_EQ(game_dir_number("game_07"), 7);
  EXPECT_EQ(game_dir_number("game_3.txt"), 3);
  EXPECT_EQ(game_dir_number("Game_3"), -1);
  EXPECT_EQ(game_dir_number(".new"), -1);
}

}  // namespace
