#include "db/aside.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>

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
  undo_final_move_aside(game);
  EXPECT_FALSE(final_move_kept(game));
}

// The names in aside/ with the inode each links.
std::map<std::string, ino_t> aside_files(const std::string& game) {
  std::map<std::string, ino_t> files;
  for (const auto& e : std::filesystem::directory_iterator(aside_dir(game))) {
    struct stat st {};
    ::stat(e.path().c_str(), &st);
    files[e.path().filename().string()] = st.st_ino;
  }
  return files;
}

TEST_F(FinalMove, AnEarlierFinalMoveKeepsItsFilesWhenALaterOneIsRolledBackOrCutShort) {
  keep_before_final_move(game, "turn_3_0.zts");
  write_file_atomic(file("turns/turn_3_0.zts"), "final");
  write_file_atomic(file("state.txt"), state_after);
  settle_final_move_aside(game);
  // Archived, then moved again: cond.txt is the very file end_cond.txt links.
  write_file_atomic(file("state.txt"), state_before);
  const auto earlier = aside_files(game);
  ASSERT_EQ(earlier.size(), 3u);

  keep_before_final_move(game, "turn_3_0.zts");
  undo_final_move_aside(game);
  EXPECT_EQ(aside_files(game), earlier);

  // Cut off before state.txt: the start puts back the files and the earlier move's aside.
  keep_before_final_move(game, "turn_3_0.zts");
  write_file_atomic(file("turns/turn_3_0.zts"), "again");
  load_games(dir.file("game_server"));
  EXPECT_EQ(read_file(file("turns/turn_3_0.zts")), "final");
  EXPECT_EQ(aside_files(game), earlier);

  // Cut off after state.txt: the new move's files are kept, the earlier ones dropped.
  keep_before_final_move(game, "turn_3_0.zts");
  write_file_atomic(file("state.txt"), state_after);
  load_games(dir.file("game_server"));
  auto now = aside_files(game);
  EXPECT_EQ(now.size(), 3u);
  EXPECT_NE(now["end_state.txt"], earlier.at("end_state.txt"));
  EXPECT_EQ(read_file(file("aside/end_save.zts")), "final");
}

}  // namespace
