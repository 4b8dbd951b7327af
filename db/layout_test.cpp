#include "db/layout.h"

#include <gtest/gtest.h>

#include <utility>

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

TEST(Layout, TurnFileNamesReadBack) {
  for (const bool opening : {false, true}) {
    const std::optional<turn_file_ref> ref = parse_turn_file_name(turn_file_name(12, 3, opening));
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->turn, 12);
    EXPECT_EQ(ref->curplr, 3);
    EXPECT_EQ(ref->opening, opening);
    EXPECT_EQ(is_opening_save_name(turn_file_name(12, 3, opening)), opening);
  }
  EXPECT_EQ(parse_turn_file_name("turn_007_1.zts")->turn, 7);
  for (std::string_view bad :
       {"turn_1.zts", "turn__1.zts", "turn_1_.zts", "turn_1_2.txt", "turn_-1_2.zts",
        "turn_1_2_3.zts", "turn_1234567890_1.zts", "Turn_1_2.zts", ".turn_1_2.zts", "set_.zts",
        "undone_1_turn_1_2.zts", "turn_1_2.zts.tmp"}) {
    EXPECT_FALSE(parse_turn_file_name(bad)) << bad;
  }
}

TEST(Layout, RequestedTurnFilesAreDigitsOnly) {
  EXPECT_EQ(requested_turn_file_name("3", "1"), "turn_3_1.zts");
  EXPECT_EQ(requested_turn_file_name("0003", "1234567890"), "turn_0003_1234567890.zts");
  for (const auto& [tn, pl] : {std::pair<std::string_view, std::string_view>{"", "1"},
                               {"1", "../1"},
                               {"1/", "1"},
                               {"12345678901", "1"},
                               {"1", "x"}}) {
    EXPECT_FALSE(requested_turn_file_name(tn, pl)) << tn << " " << pl;
  }
}

TEST(Layout, NotificationStateNames) {
  // The directory name is stored: its hash must never change.
  EXPECT_EQ(target_state_dir("game_server", ""), "game_server/.notify/cbf29ce484222325");
  EXPECT_EQ(announcement_seq_dir("game_server"), "game_server/.notify/seq");
  EXPECT_EQ(announced_file_game(announced_file_name(42)), 42);
  for (std::string_view bad : {"game_", "game_07", "game_-1", "game_3.tmp", "baseline"}) {
    EXPECT_EQ(announced_file_game(bad), -1) << bad;
  }
}

}  // namespace
