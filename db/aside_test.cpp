#include "db/aside.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "db/game.h"
#include "db/load.h"
#include "db/test_log.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string cond_before = "map:m\nplr_cnt:2\nteams:A|B\ncolors:F08010|EF8111\n";
const std::string state_before =
    "turn:3\ncurplr:0\nstatus:0\nlastfile:turn_3_0.zts\nwinner:0\nplr_states:1|1\n";
const std::string state_after =
    "turn:3\ncurplr:0\nstatus:2\nlastfile:turn_3_0.zts\nwinner:1\nplr_states:0|1\n";

// A game whose player 0 downloaded turn_3_0.zts and is making the final move.
struct FinalMove : ::testing::Test {
  FinalMove() {
    set_log_file(dir.file("zts.log"), false);
    write_test_file(file("name.txt"), "g");
    write_test_file(file("descr.txt"), "");
    write_test_file(file("cond.txt"), cond_before);
    write_test_file(file("state.txt"), state_before);
    write_test_file(file("turns/turn_3_0.zts"), "downloaded");
  }
  ~FinalMove() override { games.clear(); }
  std::string file(const std::string& name) const { return game + "/" + name; }

  temp_dir dir;
  std::string game = dir.file("game_server/game_0");
};

TEST_F(FinalMove, CutOffBeforeStateTxtIsPutBackAtTheNextStartWhereverItStopped) {
  // The move writes the turn file, then cond.txt, then state.txt; a kill can fall before each.
  for (int written = 0; written <= 2; ++written) {
    SCOPED_TRACE(written);
    keep_before_final_move(game, "turn_3_0.zts");
    if (written >= 1) write_file_atomic(file("turns/turn_3_0.zts"), "final");
    if (written >= 2) write_file_atomic(file("cond.txt"), "map:m\nteams:A|Gone\n");
    EXPECT_TRUE(final_move_pending(game));
    EXPECT_FALSE(final_move_kept(game));
    // zts_check reads the file the repair will put back.
    EXPECT_EQ(read_file(pending_final_save(game)), "downloaded");

    load_games(dir.file("game_server"));
    EXPECT_EQ(read_file(file("turns/turn_3_0.zts")), "downloaded");
    EXPECT_EQ(read_file(file("cond.txt")), cond_before);
    EXPECT_EQ(read_file(file("state.txt")), state_before);
    EXPECT_EQ(games.at(0)->status, 0);
    EXPECT_FALSE(final_move_pending(game));
    EXPECT_TRUE(std::filesystem::is_empty(aside_dir(game)));
    EXPECT_EQ(log_messages(dir.file("zts.log")).at(1),
              "UPD:game_0: put back the files of a final move that did not complete");
    std::filesystem::remove(dir.file("zts.log"));
  }
}

TEST_F(FinalMove, CompletedIsLeftAloneAndKeepsWhatItReplaced) {
  keep_before_final_move(game, "turn_3_0.zts");
  write_file_atomic(file("turns/turn_3_0.zts"), "final");
  write_file_atomic(file("state.txt"), state_after);
  EXPECT_FALSE(final_move_pending(game));
  EXPECT_TRUE(final_move_kept(game));
  EXPECT_EQ(pending_final_save(game), "");

  load_games(dir.file("game_server"));
  EXPECT_EQ(games.at(0)->status, 2);
  EXPECT_EQ(read_file(file("turns/turn_3_0.zts")), "final");
  EXPECT_EQ(read_file(file("aside/end_save.zts")), "downloaded");
  EXPECT_EQ(read_file(file("aside/end_state.txt")), state_before);
  EXPECT_EQ(read_file(file("aside/end_cond.txt")), cond_before);
  EXPECT_EQ(next_undone_name(game, "turn_3_0.zts"), "undone_1_turn_3_0.zts");

  // A move that failed and was rolled back in place forgets what it kept.
  drop_final_move_aside(game);
  EXPECT_FALSE(final_move_kept(game));
}

}  // namespace
