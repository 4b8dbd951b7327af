#include "db/load.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "db/game_files.h"
#include "db/test_log.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "tests/support/temp_dir.h"

namespace {

game_info id_only(int32_t id) {
  game_info g;
  g.id = id;
  return g;
}

game_info named(int32_t id, const std::string& name) {
  game_info g = id_only(id);
  g.name = name;
  return g;
}

struct LoadGames : ::testing::Test {
  temp_dir dir;
  scoped_cwd cwd{dir.path};
  void SetUp() override {
    games.clear();
    set_log_file(dir.file("zts.log"), false);
  }
  void TearDown() override { games.clear(); }

  // A complete game directory named `name` whose game is called `game_name`.
  void make_game(const std::string& name, const std::string& game_name, int32_t turn = 0) {
    std::string d = "game_server/" + name + "/";
    write_test_file(d + "name.txt", game_name);
    write_test_file(d + "descr.txt", "about " + game_name);
    game_info g;
    g.map = "M";
    g.plr_cnt = 2;
    g.turn = turn;
    write_test_file(d + "cond.txt", format_conditions(g));
    write_test_file(d + "state.txt", format_state(g));
  }
  std::vector<size_t> filled_slots() const {
    std::vector<size_t> out;
    for (size_t i = 0; i < games.size(); ++i) {
      if (games[i]) out.push_back(i);
    }
    return out;
  }
  std::vector<std::string> log() const { return log_messages(dir.file("zts.log")); }
};

TEST_F(LoadGames, SlotsByNumberWhateverTheScanOrder) {
  for (const char* n : {"game_0", "game_1", "game_10", "game_2"}) make_game(n, n);
  load_games("game_server");
  EXPECT_EQ(games.size(), 11u);
  EXPECT_EQ(filled_slots(), (std::vector<size_t>{0, 1, 2, 10}));
  EXPECT_EQ(games[10]->id, 10);
  EXPECT_EQ(games[10]->name, "game_10");
  EXPECT_EQ(games[10]->descr, "about game_10");
  EXPECT_EQ(games[2]->plr_cnt, 2);
  EXPECT_EQ(log(), (std::vector<std::string>{"UPD:Loading game info...", "UPD:Game info loaded"}));
}

TEST_F(LoadGames, NamesAreReadByTheirNumber) {
  make_game("game_5", "five", 5);
  make_game("game_05", "zero five", 50);  // reads game_5 again
  make_game("game_07", "seven");          // reads game_7, which has no cond.txt
  make_game("GAME_4", "upper");           // not the exact prefix
  make_game("game_-1", "negative");
  make_game("other_8", "other");
  write_test_file("game_server/game_3.txt", "a file");          // reads game_3 (absent)
  std::filesystem::create_directories("game_server/game_abc");  // number 0
  load_games("game_server");
  EXPECT_EQ(filled_slots(), (std::vector<size_t>{0, 3, 5, 7}));
  EXPECT_EQ(games[5]->name, "five");
  EXPECT_EQ(games[5]->turn, 5);
  EXPECT_EQ(*games[7], id_only(7));
  EXPECT_EQ(*games[3], id_only(3));
  EXPECT_EQ(*games[0], game_info{});
}

TEST_F(LoadGames, DirectoryWithoutCondGivesAnIdOnlyRecord) {
  write_test_file("game_server/game_2/name.txt", "ignored");
  write_test_file("game_server/game_2/state.txt", "turn:4\n");
  load_games("game_server");
  ASSERT_EQ(games.size(), 3u);
  EXPECT_EQ(*games[2], id_only(2));
  EXPECT_EQ(count_open_games(), 1);  // an id-only record is a game in play
}

TEST_F(LoadGames, MissingKeysAndStateWithoutASaveHoldTheGame) {
  write_test_file("game_server/game_1/name.txt", "n");
  write_test_file("game_server/game_1/descr.txt", "");
  write_test_file("game_server/game_1/cond.txt", "map:M\n");
  load_games("game_server");
  game_info held = named(1, "n");
  held.map = "M";
  held.damage =
      "game_server/game_1/cond.txt: lacks plr_cnt, teams, colors, money, resource, moratorium, "
      "uniset, rules; game_server/game_1/state.txt: missing; no stored save in "
      "game_server/game_1/turns";
  EXPECT_EQ(*games[1], held);
  EXPECT_EQ(log().at(1), "ERR:game_1 held: " + held.damage);
  EXPECT_EQ(read_file("game_server/game_1/cond.txt"), "map:M\n");  // nothing written
}

TEST_F(LoadGames, DamagedGameIsLoggedAndTheOthersLoad) {
  make_game("game_0", "good");
  make_game("game_1", "no name");
  make_game("game_2", "no descr");
  std::filesystem::remove("game_server/game_1/name.txt");
  std::filesystem::remove("game_server/game_2/descr.txt");
  std::filesystem::create_directory("game_server/game_2/descr.txt");  // exists, unreadable
  load_games("game_server");
  ASSERT_EQ(filled_slots(), (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(games[0]->name, "good");
  EXPECT_EQ(games[1]->name, "");
  EXPECT_EQ(games[1]->descr, "about no name");
  EXPECT_EQ(games[1]->plr_cnt, 2);
  EXPECT_EQ(games[2]->name, "no descr");
  EXPECT_EQ(games[2]->descr, "");
  std::vector<std::string> lines = log();
  ASSERT_EQ(lines.size(), 4u);
  std::sort(lines.begin() + 1, lines.end() - 1);  // scan order is the file system's
  EXPECT_TRUE(lines[1].starts_with("ERR:Error loading game_1, file name.txt (")) << lines[1];
  EXPECT_TRUE(lines[2].starts_with("ERR:Error loading game_2, file descr.txt (")) << lines[2];
  EXPECT_EQ(lines[3], "UPD:Game info loaded");
}

TEST_F(LoadGames, UnreadableStateIsLoggedAndLoadingGoesOn) {
  make_game("game_0", "zero");
  make_game("game_1", "one", 4);
  std::filesystem::remove("game_server/game_0/state.txt");
  std::filesystem::create_directory("game_server/game_0/state.txt");
  load_games("game_server");
  EXPECT_EQ(games[0]->name, "zero");
  EXPECT_EQ(games[1]->turn, 4);
  std::vector<std::string> lines = log();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[1].starts_with("ERR:Error loading game_0 (")) << lines[1];
}

TEST_F(LoadGames, HugeIdsAreSkippedNotAllocated) {
  make_game("game_1", "one");
  make_game("game_2000000000", "stray");  // would be 16 GB of empty slots
  make_game("game_$FFFFFFF", "hex");      // read as 268435455
  std::filesystem::create_directories("game_server/game_999999");
  load_games("game_server");
  EXPECT_EQ(games.size(), 1000000u);
  EXPECT_EQ(filled_slots(), (std::vector<size_t>{1, 999999}));
  std::vector<std::string> lines = log();
  ASSERT_EQ(lines.size(), 4u);
  std::sort(lines.begin() + 1, lines.end() - 1);
  EXPECT_EQ(lines[1], "ERR:Skipping game_$FFFFFFF: game ids end at 999999");
  EXPECT_EQ(lines[2], "ERR:Skipping game_2000000000: game ids end at 999999");
}

TEST_F(LoadGames, NoRootOrEmptyRoot) {
  games.resize(4);
  load_games("game_server");
  EXPECT_TRUE(games.empty());
  std::filesystem::create_directory("game_server");
  load_games("game_server");
  EXPECT_TRUE(games.empty());
  EXPECT_EQ(log().size(), 4u);
}

TEST_F(LoadGames, ExistingRecordIsReusedAndOverwritten) {
  make_game("game_1", "disk");
  games.resize(2);
  new_game_info(1).last_turn_age = 5.0;
  games[1]->unarchived_at = 3;  // not in the files: kept
  load_game("game_server", 1);
  EXPECT_EQ(games[1]->name, "disk");
  EXPECT_EQ(games[1]->unarchived_at, 3);
  EXPECT_EQ(games[1]->last_turn_age, 5.0);
}

TEST(ListDir, MatchesMask) {
  temp_dir dir;
  std::filesystem::create_directories(dir.file("game_1"));
  std::filesystem::create_directories(dir.file("Game_2"));
  write_test_file(dir.file("game_3.txt"), "");
  write_test_file(dir.file("x.txt"), "");
  astr all = list_dir(dir.file("game_*"));
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (astr{"game_1", "game_3.txt"}));
  EXPECT_EQ(list_dir(dir.file("none/*")), astr{});
  astr any = list_dir(dir.file("*"));
  EXPECT_EQ(any.size(), 4u);  // never "." or ".."
}

TEST(ListDir, LinksAreJudgedByWhatTheyPointTo) {
  temp_dir dir;
  std::filesystem::create_directories(dir.file("real"));
  std::filesystem::create_directory_symlink(dir.file("real"), dir.file("game_8"));
  std::filesystem::create_symlink(dir.file("gone"), dir.file("game_9"));  // dangling
  EXPECT_EQ(list_dir(dir.file("game_*")), astr{"game_8"});
}

}  // namespace
