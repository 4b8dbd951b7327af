#include "db/refresh.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "db/game.h"
#include "db/game_files.h"
#include "db/generation.h"
#include "db/test_log.h"
#include "lib/asys.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint32_t now = 1800000000;
constexpr int32_t day = 86400;

struct Refresh : ::testing::Test {
  temp_dir dir;
  scoped_cwd cwd{dir.path};
  void SetUp() override {
    games.clear();
    clear_save_stamps();
    set_log_file(dir.file("zts.log"), false);
    set_server_clock_override(now);
  }
  void TearDown() override {
    set_server_clock_override(std::nullopt);
    clear_save_stamps();
    games.clear();
  }

  static std::string turns_dir(int32_t id) {
    return "game_server/game_" + std::to_string(id) + "/turns/";
  }
  // A save whose stamp lies `age` seconds before the clock.
  static std::string save_of_age(int32_t age) {
    gametyp g = sample_game(2);
    g.save_time = static_cast<int32_t>(now - static_cast<uint32_t>(age));
    return write_save(g);
  }
  // A game on disk and in `games`, its newest save `age` seconds old.
  game_info& add_game(int32_t id, const std::string& name, int32_t status, int32_t turn,
                      int32_t age) {
    if (games.size() <= static_cast<size_t>(id)) games.resize(id + 1);
    game_info& g = new_game_info(id);
    g.name = name;
    g.status = status;
    g.turn = turn;
    g.plr_cnt = 2;
    g.plr_states = {true, true};
    g.lastfile = "turn_" + std::to_string(turn) + "_0.zts";
    write_test_file(turns_dir(id) + g.lastfile, save_of_age(age));
    save_game_files("game_server", g);
    return g;
  }
  std::vector<std::string> log() const { return log_messages(dir.file("zts.log")); }
  static std::string stored_state(int32_t id) {
    return read_file("game_server/game_" + std::to_string(id) + "/state.txt");
  }
};

// Games changed by the refresh so far, summed over the rules' counters (0 with metrics off).
double refresh_changes() {
  double sum = 0;
  const std::string text = metrics_text();
  const std::string series = "\nzts_refresh_changes_total{";
  for (size_t at = text.find(series); at != std::string::npos; at = text.find(series, at + 1)) {
    sum += std::stod(text.substr(text.find(' ', at) + 1));
  }
  return sum;
}

struct rule_case {
  const char* name;
  int32_t status;
  int32_t turn;
  int32_t age;
  int32_t new_status;
  std::vector<std::string> lines;  // after "UPD:", with game_1
};

TEST_F(Refresh, RulesThresholdsAndLogLines) {
  const std::string plr = "plr_plr";
  const std::string norm = "Some game";
  const std::string q1 = "Archiving game_1 due to plr_plr";
  const std::string q2 = "Archiving game_1 due to plr_plr for more than 6 days";
  const std::string n1 = "Archiving game_1 due to 3 days with no create";
  const std::string n2 = "Archiving game_1 due to smallness";
  const std::string n4 = "Archiving small game game_1 due to 6 months of no turns";
  const std::string n5 = "Upping game_1 due to 6 months of no turns";
  const int32_t six_months = 15552000;
  const rule_case cases[] = {
      // quick games
      {"plr_plr", 0, 1, day, 0, {}},
      {"plr_plr", 0, 1, day + 1, 3, {q1}},
      {"plr_plr", 0, 1, 2 * day, 3, {q1}},  // Q2 then sees status 3
      {"plr_plr", 1, 9, day + 1, 3, {q1}},
      {"plr_plr", 0, 3, 400 * day, 0, {}},
      {"plr_plr", 2, 1, 3 * day, 2, {}},
      {"plr_plr", 2, 1, 3 * day + 1, 3, {q2}},
      {"plr_plr", 2, 1, 4 * day, 3, {q2}},
      {"plr_plr", 2, 3, 400 * day, 2, {}},
      // normal games
      {"norm", 0, 2, 15 * day, 0, {}},
      {"norm", 0, 2, 15 * day + 1, 3, {n1}},
      {"norm", 1, 5, 15 * day + 1, 3, {n1}},
      {"norm", 2, 2, 30 * day, 2, {}},
      {"norm", 2, 2, 30 * day + 1, 3, {n2}},
      {"norm", 0, 10, six_months, 0, {}},
      {"norm", -1, 2, six_months, -1, {}},
      {"norm", -1, 2, six_months + 1, 3, {n4}},
      {"norm", 3, 10, six_months, 3, {}},
      {"norm", 3, 10, six_months + 1, 2, {n5}},
      {"norm", 1, 10, 181 * day, 2, {n1, n5}},  // N1 archives, N5 brings it back
      {"norm", 0, 3, 200 * day, 0, {}},
      {"norm", 2, 3, 400 * day, 2, {}},
      {"norm", 3, 2, 400 * day, 3, {}},
      {"norm", 0, 0, -100, 0, {}},  // stamp in the future
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " status " + std::to_string(c.status) + " turn " +
                 std::to_string(c.turn) + " age " + std::to_string(c.age));
    std::filesystem::remove_all("game_server");
    std::filesystem::remove(dir.file("zts.log"));
    games.clear();
    add_game(1, c.name == std::string("plr_plr") ? plr : norm, c.status, c.turn, c.age);
    const double changes_before = refresh_changes();
    const uint64_t generation_before = games_generation();
    refresh_game("game_server", 1);
    EXPECT_GT(games_generation(), generation_before);
    if (metrics_enabled()) {
      EXPECT_EQ(refresh_changes() - changes_before, c.lines.size());
    }
    EXPECT_EQ(games[1]->status, c.new_status);
    EXPECT_EQ(games[1]->last_turn_age, c.age);
    std::vector<std::string> expected;
    for (const auto& line : c.lines) expected.push_back("UPD:" + line);
    EXPECT_EQ(log(), expected);
    EXPECT_TRUE(stored_state(1).find("status:" + std::to_string(c.new_status) + "\n") !=
                std::string::npos);
  }
}

TEST_F(Refresh, FinishingLineCarriesClockStampAndDifference) {
  add_game(1, "g", 0, 10, 15552001);
  refresh_game("game_server", 1);
  EXPECT_EQ(log(), std::vector<std::string>{"UPD:Finishing game_1 due to 6 months of no turns "
                                            "(1800000000,1784447999,15552001)"});
  EXPECT_EQ(games[1]->status, 2);
  EXPECT_EQ(stored_state(1),
            "turn:10\ncurplr:0\nstatus:2\nlastfile:turn_10_0.zts\nwinner:0\n"
            "plr_states:1|1\n");
}

TEST_F(Refresh, SkippedIdsEmptySlotsAndStatusAboveThree) {
  for (int32_t id : {599, 600, 610, 611}) add_game(id, "old", 0, 0, 400 * day);
  add_game(601, "old", 0, 0, 400 * day);
  game_info& odd = add_game(5, "old", 4, 0, 400 * day);
  std::filesystem::remove(turns_dir(5) + odd.lastfile);  // not even read
  refresh_games("game_server");
  for (int32_t id : {599, 600, 610, 611}) {
    EXPECT_EQ(games[id]->status, 0) << id;
    EXPECT_EQ(games[id]->last_turn_age, 0.0) << id;
  }
  EXPECT_EQ(games[5]->status, 4);
  EXPECT_EQ(games[5]->last_turn_age, 0.0);
  EXPECT_EQ(games[601]->status, 3);
  EXPECT_EQ(log(), std::vector<std::string>{"UPD:Archiving game_601 due to 3 days with no create"});
}

TEST_F(Refresh, RefusedSaveIsLoggedAndGameUnchanged) {
  game_info& g = add_game(1, "g", 0, 0, 400 * day);
  write_test_file(turns_dir(1) + g.lastfile, "not a save at all");
  refresh_game("game_server", 1);
  EXPECT_EQ(g.status, 0);
  EXPECT_EQ(g.last_turn_age, 0.0);
  std::vector<std::string> lines = log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("UPD:Error parsing game_1, file turn_0_0.zts, (")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(")"));
  EXPECT_NE(stored_state(1).find("status:0\n"), std::string::npos);
}

TEST_F(Refresh, MissingSavesAreLoggedAndThePassGoesOn) {
  add_game(0, "g", 0, 0, 400 * day);
  game_info& missing = add_game(1, "g", 0, 0, 400 * day);
  std::filesystem::remove(turns_dir(1) + missing.lastfile);
  games.resize(3);
  new_game_info(2);  // id-only record: empty lastfile names the turns directory
  add_game(3, "g", 0, 0, 400 * day);
  refresh_games("game_server");
  EXPECT_EQ(games[0]->status, 3);
  EXPECT_EQ(games[1]->status, 0);
  EXPECT_EQ(games[2]->status, 0);
  EXPECT_EQ(games[3]->status, 3);
  std::vector<std::string> lines = log();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "UPD:Archiving game_0 due to 3 days with no create");
  EXPECT_TRUE(lines[1].starts_with("UPD:Error parsing game_1, file turn_0_0.zts, (")) << lines[1];
  EXPECT_TRUE(lines[2].starts_with("UPD:Error parsing game_2, file , (")) << lines[2];
  EXPECT_EQ(lines[3], "UPD:Archiving game_3 due to 3 days with no create");
}

TEST_F(Refresh, FailedRewriteIsLoggedAndStatusStaysAsOnDisk) {
  add_game(1, "g", 0, 0, 400 * day);
  std::filesystem::remove("game_server/game_1/state.txt");
  std::filesystem::create_directories("game_server/game_1/state.txt/x");  // cannot be replaced
  refresh_game("game_server", 1);
  EXPECT_EQ(games[1]->status, 0);
  std::vector<std::string> lines = log();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "UPD:Archiving game_1 due to 3 days with no create");
  EXPECT_TRUE(lines[1].starts_with("UPD:Error parsing game_1, file turn_0_0.zts, (")) << lines[1];
}

// Overwrites a file in place with other bytes of the same size and puts its modification time
// back: same path, size, time and inode, so only a decode could tell the difference.
void scribble_keeping_identity(const std::string& path) {
  struct stat before;
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  std::string junk(static_cast<size_t>(before.st_size), 'j');
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
  ::close(fd);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(Refresh, UnchangedSaveIsNotDecodedAgainChangedOneIs) {
  game_info& g = add_game(1, "g", 0, 10, 10 * day);
  std::string path = turns_dir(1) + g.lastfile;
  refresh_game("game_server", 1);
  EXPECT_EQ(g.last_turn_age, 10 * day);
  scribble_keeping_identity(path);
  set_server_clock_override(now + 100);
  refresh_game("game_server", 1);
  EXPECT_EQ(g.last_turn_age, 10 * day + 100);  // stamp reused, age from the clock
  EXPECT_TRUE(log().empty());
  write_file_atomic(path, save_of_age(2 * day));  // replaced as the server does: decoded again
  refresh_game("game_server", 1);
  EXPECT_EQ(g.last_turn_age, 2 * day + 100);
  scribble_keeping_identity(path);
  clear_save_stamps();
  refresh_game("game_server", 1);
  ASSERT_EQ(log().size(), 1u);
  EXPECT_TRUE(log()[0].starts_with("UPD:Error parsing game_1"));
}

TEST_F(Refresh, RememberedStampIsUsedUntilTheFileChanges) {
  game_info& g = add_game(1, "g", 0, 10, 0);
  std::string path = turns_dir(1) + g.lastfile;
  write_test_file(path, "bytes an operation stored");  // never decodable
  remember_save_stamp(path, static_cast<int32_t>(now - 3 * day));
  refresh_game("game_server", 1);
  EXPECT_EQ(g.last_turn_age, 3 * day);
  EXPECT_TRUE(log().empty());
  // The game moves on to a new file: the remembered one no longer applies to it.
  g.lastfile = "turn_11_1.zts";
  write_test_file(turns_dir(1) + g.lastfile, save_of_age(5 * day));
  refresh_game("game_server", 1);
  EXPECT_EQ(g.last_turn_age, 5 * day);
  write_test_file(turns_dir(1) + g.lastfile, "changed to something undecodable");
  refresh_game("game_server", 1);
  EXPECT_EQ(log().size(), 1u);
  remember_save_stamp("game_server/game_1/turns/none.zts", 0);  // missing: ignored
}

}  // namespace

TEST_F(Refresh, AnUnarchiveCountsAsAMoveForTheRules) {
  // Twenty days without a move archives a normal game in its first turns, unless an operator
  // unarchived it less than fifteen days ago; the age shown stays the save's.
  struct hold_case {
    int32_t unarchived_ago;
    int32_t new_status;
  } cases[] = {{0, 3}, {day, 0}, {15 * day, 0}, {15 * day + 1, 3}};
  for (const hold_case& c : cases) {
    SCOPED_TRACE(c.unarchived_ago);
    game_info& g = add_game(1, "Some game", 0, 1, 20 * day);
    if (c.unarchived_ago > 0) g.unarchived_at = static_cast<int32_t>(now) - c.unarchived_ago;
    refresh_game("game_server", 1);
    EXPECT_EQ(games[1]->status, c.new_status);
    EXPECT_EQ(games[1]->last_turn_age, 20 * day);
  }
}
