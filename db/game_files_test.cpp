#include "db/game_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "db/load.h"
#include "lib/file_io.h"
#include "lib/log.h"
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
  const ino_t name_before = inode("name.txt");
  const ino_t state_before = inode("state.txt");
  write_test_file("game_server/game_3/descr.txt", "damaged");
  games[3]->turn = 4;
  save_game_files("game_server", *games[3]);
  EXPECT_EQ(inode("name.txt"), name_before);
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

TEST_F(GameFiles, ValuesThatDoNotReadBackAsWritten) {
  const quirk_case cases[] = {
      {"';' starts a comment", [](game_info& g) { g.map = "My;Map"; },
       [](game_info& g) { g.map = "My"; }},
      {"'//' starts a comment", [](game_info& g) { g.uniset = "a//b"; },
       [](game_info& g) { g.uniset = "a"; }},
      {"a brace block is skipped", [](game_info& g) { g.map = "a{b}c"; },
       [](game_info& g) { g.map = "ac"; }},
      {"'|' splits a list entry",
       [](game_info& g) {
         g.teams = {"a|b", "c"};
       },
       [](game_info& g) {
         g.teams = {"a", "b", "c"};
       }},
      {"leading blank of a value is lost",
       [](game_info& g) {
         g.teams = {" A", "B"};
       },
       [](game_info& g) {
         g.teams = {"A", "B"};
       }},
      {"a blank inside the list stays",
       [](game_info& g) {
         g.teams = {"A", " B"};
       },
       [](game_info& g) {
         g.teams = {"A", " B"};
       }},
      {"a list of one empty entry reads as empty", [](game_info& g) { g.colors = {""}; },
       [](game_info& g) { g.colors = {}; }},
      {"a flag of 2 reads as false", [](game_info& g) { g.rules[4] = 2; },
       [](game_info& g) { g.rules[4] = 0; }},
      {"a leading blank of the name stays", [](game_info& g) { g.name = " x"; },
       [](game_info& g) { g.name = " x"; }},
      {"a name reads up to its first line end", [](game_info& g) { g.name = "a\r\nb"; },
       [](game_info& g) { g.name = "a"; }},
      {"long teams line loses its tail",
       [](game_info& g) {
         g.teams = {std::string(240, 't'), "lost"};
       },
       [](game_info& g) {
         g.teams = {std::string(240, 't'), "los"};
       }},
  };
  for (const auto& c : cases) {
    game_info written = sample_game();
    c.change(written);
    game_info expected = sample_game();
    c.expect(expected);
    EXPECT_EQ(round_trip(written), expected) << c.what;
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

TEST(FirstLine, Table) {
  struct line_case {
    std::string content;
    const char* line;
  };
  const line_case cases[] = {
      {"abc", "abc"},
      {"abc\ndef", "abc"},
      {"abc\r\ndef", "abc"},
      {"a\rb\n", "ab"},
      {"ab\x1a"
       "cd",
       "ab"},
      {"", ""},
      {"\nabc", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(first_line(c.content), c.line) << c.content;
}

}  // namespace
