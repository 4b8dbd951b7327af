#include "db/turn_times.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "db/aside.h"
#include "db/layout.h"
#include "lib/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int64_t hour = 3600 * 1000;
constexpr int64_t day = 24 * hour;
const int64_t t0 = int64_t{1700000000} * 1000;

// Three players; player 1 left after turn 0 (turn 1 goes 0, 2), and the clock stepped back once.
TEST(TurnTimes, FiguresFromAHistory) {
  const std::vector<stored_turn> h = {
      {0, 0, t0},                    // created: player 0 to move
      {0, 1, t0 + 1 * hour},         // player 0 took 1 h
      {0, 2, t0 + 1 * hour + 1500},  // player 1: 1.5 s, which rounds to 2
      {1, 0, t0 + 4 * hour + 1500},  // player 2: 3 h
      {1, 2, t0 + 9 * hour + 1500},  // player 0: 5 h
      {2, 0, t0 + 9 * hour},         // player 2: the clock went back, 0 s
      {2, 2, t0 + 10 * day},         // player 0: 10 days less 9 h
  };
  const turn_figures f = summarize_turns(h, 4, t0 + 10 * day + hour);
  ASSERT_EQ(f.players.size(), 4u);
  EXPECT_EQ(f.players[0].count, 3);
  EXPECT_EQ(f.players[0].median_s, 5 * 3600);
  EXPECT_EQ(f.players[0].mean_s, 79 * 3600);  // (1 h + 5 h + 231 h) / 3
  EXPECT_EQ(f.players[0].longest_s, 231 * 3600);
  EXPECT_EQ(f.players[1].count, 1);
  EXPECT_EQ(f.players[1].median_s, 2);
  EXPECT_EQ(f.players[2].count, 2);
  EXPECT_EQ(f.players[2].median_s, 5400);  // the mean of the middle two: 0 and 3 h
  EXPECT_EQ(f.players[2].longest_s, 3 * 3600);
  EXPECT_EQ(f.players[3].count, 0);
  EXPECT_EQ(f.newest_ms, t0 + 10 * day);
  // Only the last move lies within the week; it leaves the window 7 days after it was stored.
  EXPECT_DOUBLE_EQ(f.per_day_last_7_days, 1.0 / 7);
  EXPECT_EQ(f.changes_at_ms, t0 + 17 * day);
  EXPECT_DOUBLE_EQ(f.per_day_overall, 6.0 / 10);

  // A young game counts a whole day; an empty one has no figures.
  const turn_figures young = summarize_turns({h[0], h[1], h[2]}, 3, t0 + 2 * hour);
  EXPECT_DOUBLE_EQ(young.per_day_overall, 2.0);
  EXPECT_DOUBLE_EQ(young.per_day_last_7_days, 2.0 / 7);
  const turn_figures none = summarize_turns({}, 2, t0);
  EXPECT_EQ(none.players.size(), 2u);
  EXPECT_FALSE(none.newest_ms);
  EXPECT_EQ(none.changes_at_ms, INT64_MAX);
}

struct TurnFiles : ::testing::Test {
  TurnFiles() { forget_all_turn_times(); }
  ~TurnFiles() override { forget_all_turn_times(); }

  // Writes turns/<name> stored at `ms`.
  void save(const std::string& name, int64_t ms) {
    const std::string path = turn_file_path(root, 0, name);
    write_test_file(path, name);
    set_time(path, ms);
  }
  static void set_time(const std::string& path, int64_t ms) {
    const timespec times[2] = {{ms / 1000, (ms % 1000) * 1000000},
                               {ms / 1000, (ms % 1000) * 1000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }

  temp_dir dir;
  std::string root = dir.file("game_server");
};

// The opening phase's set_ files come before turn_ files of their turn, whatever the directory
// order; other names in turns/ are not saves.
TEST_F(TurnFiles, HistoryInOrderOfPlayFromTheStoredTimes) {
  save("set_0_0.zts", t0);
  save("set_0_1.zts", t0 + 1000);
  save("set_1_0.zts", t0 + 2000);
  save("set_1_1.zts", t0 + 3000);
  save("turn_2_0.zts", t0 + 4000);
  save("turn_2_1.zts", t0 + 5000);
  save("turn_10_0.zts", t0 + 6000);
  for (const char* stray : {"turn_2_x.zts", ".turn_3_0.zts.tmp.1.1", "turn_3_0.txt", "set__1.zts"})
    write_test_file(turn_file_path(root, 0, stray), "x");
  const std::vector<stored_turn> expected = {
      {0, 0, t0},        {0, 1, t0 + 1000}, {1, 0, t0 + 2000}, {1, 1, t0 + 3000},
      {2, 0, t0 + 4000}, {2, 1, t0 + 5000}, {10, 0, t0 + 6000}};
  EXPECT_EQ(read_turn_history(root, 0), expected);
  EXPECT_TRUE(read_turn_history(root, 1).empty());
}

// A final move replaced turn_1_0.zts (stored at t0+2h, when player 0 got the turn) with their
// last save: the replaced save in aside/ keeps both turns.
TEST_F(TurnFiles, FinalMoveKeepsTheTimeOfTheSaveItReplaced) {
  const std::string game = game_dir(root, 0);
  write_test_file(game + "/state.txt", "lastfile:turn_1_0.zts\n");
  write_test_file(game + "/cond.txt", "");
  save("turn_0_0.zts", t0);
  save("turn_0_1.zts", t0 + hour);
  save("turn_1_0.zts", t0 + 2 * hour);
  keep_before_final_move(game, "turn_1_0.zts");
  write_file_atomic(turn_file_path(root, 0, "turn_1_0.zts"), "final");
  set_time(turn_file_path(root, 0, "turn_1_0.zts"), t0 + 5 * hour);
  write_file_atomic(game + "/state.txt", "lastfile:turn_1_0.zts\nstatus:2\n");
  ASSERT_TRUE(final_move_kept(game));
  const std::vector<stored_turn> expected = {
      {0, 0, t0}, {0, 1, t0 + hour}, {1, 0, t0 + 2 * hour}, {1, 0, t0 + 5 * hour}};
  EXPECT_EQ(read_turn_history(root, 0), expected);
}

// Read once, then kept: moves extend it without reading, a forget reads the files again.
TEST_F(TurnFiles, KeptHistoryFollowsMovesAndForgets) {
  save("turn_0_0.zts", t0);
  // Not kept yet: the move's file is read from the disk with the rest.
  save("turn_0_1.zts", t0 + 7000);
  EXPECT_EQ(note_stored_turn(root, 0, {0, 1, t0 + 7000}), 7000);
  // Kept: a file appearing behind its back is not seen, the noted move is.
  save("turn_1_0.zts", t0 + 9000);
  const uint64_t epoch = turn_times_epoch(0);
  EXPECT_EQ(note_stored_turn(root, 0, {5, 5, t0 + 8000}), 1000);
  EXPECT_NE(turn_times_epoch(0), epoch);
  EXPECT_EQ(turn_history(root, 0).back(), (stored_turn{5, 5, t0 + 8000}));
  EXPECT_EQ(median_turn_seconds(root, 0, 1), 1);
  EXPECT_FALSE(median_turn_seconds(root, 0, 5));
  const uint64_t noted = turn_times_epoch(0);
  forget_turn_times(0);
  EXPECT_NE(turn_times_epoch(0), noted);
  EXPECT_EQ(turn_history(root, 0).back(), (stored_turn{1, 0, t0 + 9000}));
  EXPECT_EQ(median_turn_seconds(root, 0, 1), 2);
  // A game's first save has no time spent before it.
  EXPECT_FALSE(note_stored_turn(root, 3, {0, 0, t0}));
}

}  // namespace
