#include "db/game_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <random>

#include "db/load.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "save/zts_save.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

game_info sample_game() {
  game_info g;
  g.id = 3;
  g.name = "Spring war";
  g.descr = "No rush, please";
  g.map = "Big Map";
  g.plr_cnt = 2;
  g.teams = {"Reds", "Blues"};
  g.colors = {"FF0000", "0000FF"};
  g.money = 1000;
  g.resource = -2;
  g.moratorium = 5;
  g.uniset = "classic";
  g.rules = {1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  g.turn = 3;
  g.curplr = 1;
  g.status = 0;
  g.lastfile = "turn_3_1.zts";
  g.winner = 0;
  g.plr_states = {true, true};
  return g;
}

const char sample_cond[] =
    "map:Big Map\n"
    "plr_cnt:2\n"
    "teams:Reds|Blues\n"
    "colors:FF0000|0000FF\n"
    "money:1000\n"
    "resource:-2\n"
    "moratorium:5\n"
    "uniset:classic\n"
    "rules:1|0|1|1|0|0|0|0|0|0|0|0|0|0|0|1\n";

const char sample_state[] =
    "turn:3\n"
    "curplr:1\n"
    "status:0\n"
    "lastfile:turn_3_1.zts\n"
    "winner:0\n"
    "plr_states:1|1\n";

// games[] cleared before and after, and the log kept inside the test's directory.
struct GameFiles : ::testing::Test {
  temp_dir dir;
  scoped_cwd cwd{dir.path};
  void SetUp() override {
    games.clear();
    set_log_file(dir.file("zts.log"), false);
  }
  void TearDown() override { games.clear(); }

  void store(const game_info& g) {
    if (games.size() <= static_cast<size_t>(g.id)) games.resize(g.id + 1);
    games[g.id] = std::make_unique<game_info>(g);
  }
  // Saves g, then loads it into an empty list, as a restart would.
  game_info round_trip(const game_info& g) {
    store(g);
    save_game_files("game_server", g);
    games.clear();
    load_game("game_server", g.id);
    return *games[g.id];
  }
};

TEST_F(GameFiles, FormatsAreByteExact) {
  game_info g = sample_game();
  EXPECT_EQ(format_conditions(g), sample_cond);
  EXPECT_EQ(format_state(g), sample_state);
  EXPECT_EQ(game_block(g),
            std::string("x9\n") + "x1 10\nSpring war\n" + "x2 15\nNo rush, please\n" + "x3 " +
                std::to_string(sizeof(sample_cond) - 1) + "\n" + sample_cond + "\n" + "x4 " +
                std::to_string(sizeof(sample_state) - 1) + "\n" + sample_state + "\n");
}

TEST_F(GameFiles, EmptyRecordFormats) {
  game_info g;
  EXPECT_EQ(format_conditions(g),
            "map:\nplr_cnt:0\nteams:\ncolors:\nmoney:0\nresource:0\nmoratorium:0\nuniset:\n"
            "rules:0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0\n");
  EXPECT_EQ(format_state(g), "turn:0\ncurplr:0\nstatus:0\nlastfile:\nwinner:0\nplr_states:\n");
  EXPECT_TRUE(game_block(g).starts_with("x9\nx1 0\n\nx2 0\n\nx3 "));
}

TEST_F(GameFiles, SaveWritesTheFourFilesAndLoadReadsThemBack) {
  game_info g = sample_game();
  store(g);
  save_game_files("game_server", *games[3]);
  EXPECT_EQ(read_file("game_server/game_3/name.txt"), "Spring war");
  EXPECT_EQ(read_file("game_server/game_3/descr.txt"), "No rush, please");
  EXPECT_EQ(read_file("game_server/game_3/cond.txt"), sample_cond);
  EXPECT_EQ(read_file("game_server/game_3/state.txt"), sample_state);
  games.clear();
  load_game("game_server", 3);
  EXPECT_EQ(*games[3], g);
}

TEST_F(GameFiles, FailedSaveKeepsOldContentAndLeavesNoTemporaryFile) {
  game_info g = sample_game();
  write_test_file("game_server/game_3/state.txt", "old state");
  // A directory where cond.txt should go: its replacement must fail.
  write_test_file("game_server/game_3/cond.txt/keep", "x");
  store(g);
  EXPECT_THROW(save_game_files("game_server", *games[3]), io_error);
  EXPECT_EQ(read_file("game_server/game_3/name.txt"), "Spring war");  // written before
  EXPECT_EQ(read_file("game_server/game_3/cond.txt/keep"), "x");
  EXPECT_EQ(read_file("game_server/game_3/state.txt"), "old state");  // never reached
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator("game_server/game_3")) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"cond.txt", "descr.txt", "name.txt", "state.txt"}));
}

TEST_F(GameFiles, SaveRewritesOnlyTheFilesWhoseTextChanged) {
  game_info g = sample_game();
  store(g);
  save_game_files("game_server", *games[3]);
  auto inode = [](const char* name) {
    struct stat st {};
    EXPECT_EQ(::stat((std::string("game_server/game_3/") + name).c_str(), &st), 0);
    return st.st_ino;
  };
  const ino_t state_before = inode("state.txt");
  write_test_file("game_server/game_3/descr.txt", "damaged");
  // What a file holds beyond its text, or its absence, counts as a change too.
  write_test_file("game_server/game_3/cond.txt", std::string(sample_cond) + "\n");
  std::filesystem::remove("game_server/game_3/name.txt");
  save_game_files("game_server", *games[3]);
  EXPECT_EQ(read_file("game_server/game_3/cond.txt"), sample_cond);
  EXPECT_EQ(read_file("game_server/game_3/name.txt"), "Spring war");
  const ino_t name_now = inode("name.txt");
  games[3]->turn = 4;
  save_game_files("game_server", *games[3]);
  EXPECT_EQ(inode("name.txt"), name_now);
  EXPECT_NE(inode("state.txt"), state_before);
  EXPECT_EQ(read_file("game_server/game_3/descr.txt"), "No rush, please");
  games.clear();
  load_game("game_server", 3);
  EXPECT_EQ(games[3]->turn, 4);
}

struct quirk_case {
  const char* what;
  std::function<void(game_info&)> change;
  std::function<void(game_info&)> expect;  // applied to the original to give the read-back
};

// What the line format itself cannot tell apart; every other text comes back as written (the
// random records below).
TEST_F(GameFiles, AmbiguousListsAndFlags) {
  const quirk_case cases[] = {
      {"a list of one empty entry reads as empty", [](game_info& g) { g.colors = {""}; },
       [](game_info& g) { g.colors = {}; }},
      {"but not in a game of one player",
       [](game_info& g) {
         g.plr_cnt = 1;
         g.teams = {""};
       },
       [](game_info& g) {
         g.plr_cnt = 1;
         g.teams = {""};
       }},
      {"a flag of 2 reads as false", [](game_info& g) { g.rules[4] = 2; },
       [](game_info& g) { g.rules[4] = 0; }},
  };
  for (const auto& c : cases) {
    game_info written = sample_game();
    c.change(written);
    game_info expected = sample_game();
    c.expect(expected);
    EXPECT_EQ(round_trip(written), expected) << c.what;
  }
}

// Random text of up to `longest` bytes, the bytes the line format treats specially made common.
std::string random_text(std::mt19937& random, size_t longest) {
  static const char special[] = {'|', '\n', '\r', ';', '/', '{', '}', ' ', '\t', ':', 26, 0};
  std::string text(std::uniform_int_distribution<size_t>(0, longest)(random), ' ');
  for (char& c : text) {
    uint32_t r = random();
    c = r % 3 == 0 ? special[(r >> 8) % sizeof(special)] : static_cast<char>(r >> 16);
  }
  return text;
}

// What the writer makes of a single-line text, and of a list entry.
std::string stored(std::string text, bool in_list) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
    if (c == '|' && in_list) c = '\xA6';
  }
  return text;
}

// A game as creating it from a random save and playing on would leave it: every text random,
// the team names up to the save's 64-byte limit, so that 20 of them make lines of ~1,300 bytes.
TEST_F(GameFiles, RecordsFromRandomSavesComeBackAfterARestart) {
  std::mt19937 random(17);
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    save_recipe recipe = sample_save_recipe(1 + static_cast<int>(random() % max_players));
    gametyp& s = recipe.game;
    s.name = random_text(random, 80);
    s.descr = random_text(random, 80);
    s.map = random_text(random, 80);
    s.uniset = random_text(random, 80);
    for (int i = 0; i < s.plr_cnt; ++i) {
      s.plrs[i].team_name = random_text(random, 70);
      for (uint8_t& b : s.plrs[i].color_bytes) b = static_cast<uint8_t>(random());
    }
    for (bool& rule : s.rule_bytes) rule = random() % 2 == 1;
    gametyp save;
    std::string why;
    ASSERT_TRUE(load_game_save(&save, write_save(recipe), &why)) << why;

    game_info g;
    g.id = static_cast<int32_t>(random() % 4);
    g.name = save.name;
    g.descr = save.descr;
    g.map = save.map;
    g.plr_cnt = save.plr_cnt;
    g.money = static_cast<int32_t>(random());
    g.resource = static_cast<int32_t>(random());
    g.moratorium = static_cast<int32_t>(random() % 10);
    g.uniset = save.uniset;
    for (size_t j = 0; j < g.rules.size(); ++j) g.rules[j] = save.rule_bytes[j] ? 1 : 0;
    for (int i = 0; i < save.plr_cnt; ++i) {
      g.teams.push_back(save.plrs[i].team_name);
      g.colors.push_back(color_text(save.plrs[i]));
      g.plr_states.push_back(random() % 4 != 0);
    }
    g.turn = static_cast<int32_t>(random() % 1000);
    g.curplr = static_cast<int32_t>(random() % save.plr_cnt);
    g.status = static_cast<int32_t>(random() % 4);
    g.winner = static_cast<int32_t>(random() % save.plr_cnt);
    g.lastfile = random_text(random, 40);

    game_info expected = g;
    while (expected.name.ends_with('\n') || expected.name.ends_with('\r')) expected.name.pop_back();
    expected.map = stored(g.map, false);
    expected.uniset = stored(g.uniset, false);
    expected.lastfile = stored(g.lastfile, false);
    for (std::string& team : expected.teams) team = stored(team, true);

    // Written as the save gave them, the texts come back substituted, and what creating or
    // playing a game keeps in memory already is that record.
    const std::string block = game_block(expected);
    save_game_files("game_server", g);
    const std::string dir = "game_server/game_" + std::to_string(g.id);
    EXPECT_EQ(read_file(dir + "/name.txt"), expected.name);
    EXPECT_EQ(read_file(dir + "/descr.txt"), g.descr);
    games.clear();
    load_game("game_server", g.id);
    ASSERT_TRUE(games[g.id]);
    EXPECT_EQ(*games[g.id], expected);
    EXPECT_EQ(game_block(*games[g.id]), block);
    make_texts_storable(&g);
    EXPECT_EQ(g, expected);
  }
}

struct text_case {
  const char* what;
  const char* cond;
  const char* state;
  std::function<void(game_info&)> expect;  // applied to a fresh record
};

TEST_F(GameFiles, ReadingHandWrittenFiles) {
  const text_case cases[] = {
      {"three rule flags set 0 and 2, clear the rest", "rules:1|0|1\n", "",
       [](game_info& g) { g.rules[0] = g.rules[2] = 1; }},
      {"seventeen rule flags change nothing", "rules:1|1|1|1|1|1|1|1|1|1|1|1|1|1|1|1|1\n", "",
       [](game_info&) {}},
      {"stray plr_states value reads false", "", "plr_states:1|0|x\n",
       [](game_info& g) {
         g.plr_states = {true, false, false};
       }},
      {"blank after the colon", "", "status: 2\n", [](game_info& g) { g.status = 2; }},
      {"letters read as 0", "", "status:ab\nturn:7\n", [](game_info& g) { g.turn = 7; }},
      {"the later line wins, unknown keys ignored", "money:1\nbogus:5\nmoney:2\n", "",
       [](game_info& g) { g.money = 2; }},
      {"keys are case-sensitive", "Money:9\n", "", [](game_info&) {}},
      {"empty teams line", "teams:\n", "", [](game_info&) {}},
      {"CR LF line ends", "map:M\r\nplr_cnt:4\r\n", "turn:9\r\n",
       [](game_info& g) {
         g.map = "M";
         g.plr_cnt = 4;
         g.turn = 9;
       }},
      {"comment lines added by hand are skipped", "// note\nmap:M\n;map:N\n", "",
       [](game_info& g) { g.map = "M"; }},
      {"a comment after a number or a list of numbers is not part of it",
       "rules:1|1 ; two on\nmoney:-5// debt\nmap:a;b // kept\n",
       "plr_states:1|0|1 ; fixed\nwinner:-1;x\nlastfile:t;1.zts\n",
       [](game_info& g) {
         g.rules[0] = g.rules[1] = 1;
         g.money = -5;
         g.map = "a;b // kept";
         g.plr_states = {true, false, true};
         g.winner = -1;
         g.lastfile = "t;1.zts";
       }},
  };
  for (const auto& c : cases) {
    game_info read;
    apply_conditions(parse_text(c.cond, game_file_options), &read);
    apply_state(parse_text(c.state, game_file_options), &read);
    game_info expected;
    c.expect(expected);
    EXPECT_EQ(read, expected) << c.what;
  }
}

TEST(SplitList, Table) {
  struct split_case {
    const char* text;
    astr list;
  };
  const split_case cases[] = {
      {"", {}},
      {"  \t", {}},
      {"a", {"a"}},
      {"a||b", {"a", "", "b"}},
      {"a|", {"a", ""}},
      {"|", {"", ""}},
      {" a | b ", {"a ", " b"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_list(c.text), c.list) << c.text;
}

TEST(JoinFlags, BytesAndBooleans) {
  const uint8_t bytes[] = {1, 0, 2};
  EXPECT_EQ(join_flags(bytes), "1|0|2");
  EXPECT_EQ(join_flags(aoboolean{true, false}), "1|0");
  EXPECT_EQ(join_flags(aoboolean{}), "");
  EXPECT_EQ(join_strings({"a", "", "b"}), "a||b");
}

}  // namespace
