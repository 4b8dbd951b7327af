// The fault runs, short, through their programs (each isolates itself in namespaces of its
// own), and the data checker against data directories damaged in the ways a crash or a bad
// disk could damage them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/faults/fault_support.h"
#include "tests/support/temp_dir.h"

namespace {

// Runs a fault program; its last line must end in `summary` (e.g. "violations 0").
void run_or_skip(const std::string& command, const std::string& summary) {
  std::string output;
  int status = run_command(command, &output);
  if (status == exit_skipped) GTEST_SKIP() << output;
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(output.ends_with(summary + "\n")) << output;
}

TEST(CrashPlay, TenKillsDuringPlayLoseNothingAcknowledged) {
  run_or_skip(build_dir() + "/zts_crashplay --kills 10 --clients 3 --max-run-ms 800",
              "violations 0");
}

TEST(DiskFull, RefusalsChangeNothingAndPlayGoesOnOnceFreed) {
  run_or_skip(build_dir() + "/zts_diskfull", "problems 0");
}

const std::string cond =
    "map:Test Map\nplr_cnt:3\nteams:Team 1|Team 2|Team 3\ncolors:F08010|EF8111|EE8212\n"
    "money:5000\nresource:2\nmoratorium:0\nuniset:default\n"
    "rules:1|0|0|1|0|0|0|0|0|0|0|0|0|0|0|0\n";
const std::string state =
    "turn:1\ncurplr:0\nstatus:0\nlastfile:turn_1_0.zts\nwinner:0\nplr_states:1|1|1\n";

// game_0 after creation and three moves: state at turn 1, player 0.
struct data_dir {
  temp_dir dir;
  std::string game(const std::string& name) const { return dir.file("game_server/game_0/" + name); }

  data_dir() {
    write_test_file(game("name.txt"), "Checked");
    write_test_file(game("descr.txt"), "");
    write_test_file(game("cond.txt"), cond);
    write_test_file(game("state.txt"), state);
    write_test_file(game("turns/turn_0_0.zts"), save(0, 0, "game_7"));  // creator's: any id
    write_test_file(game("turns/turn_0_1.zts"), save(0, 0));
    write_test_file(game("turns/turn_0_2.zts"), save(0, 1));
    write_test_file(game("turns/turn_1_0.zts"), save(0, 2));
  }
  static std::string save(int turn, int curplr, const std::string& id = "game_0") {
    return move_save("Checked", id, 3, turn, curplr, 3000, static_cast<uint32_t>(turn + curplr));
  }
  // Exit status of zts_check, its output in *out.
  int check(std::string* out) const {
    return run_command(build_dir() + "/zts_check " + dir.path, out);
  }
};

TEST(CheckTool, WholeGamePassesWithLeftoverTemporariesCounted) {
  data_dir d;
  write_test_file(d.game("turns/.turn_1_1.zts.tmp.123.0"), "half");
  std::string out;
  EXPECT_EQ(d.check(&out), 0) << out;
  EXPECT_NE(out.find("checked 1 games, 4 turn files, 1 leftover temporaries: 0 problems"),
            std::string::npos)
      << out;
}

TEST(CheckTool, EachDamageIsNamed) {
  struct damage {
    const char* what;
    std::string file, bytes;  // relative to game_0; empty bytes remove the file
    const char* expected;
  };
  const std::string whole = data_dir::save(0, 2);
  const damage cases[] = {
      {"newest save cut short", "turns/turn_1_0.zts", whole.substr(0, whole.size() / 2),
       "turns/turn_1_0.zts does not decode"},
      {"older save cut short", "turns/turn_0_1.zts", whole.substr(0, 100),
       "turns/turn_0_1.zts does not decode"},
      {"newest save missing", "turns/turn_1_0.zts", "", "which does not exist"},
      {"state.txt cut short", "state.txt", state.substr(0, state.find("plr_states")),
       "state.txt: lacks plr_states (the next start rebuilds it from turns/turn_1_0.zts)"},
      {"cond.txt cut inside a line", "cond.txt", cond.substr(0, cond.size() - 3),
       "cond.txt does not end in LF"},
      {"save that does not lead to the state", "turns/turn_1_0.zts", data_dir::save(0, 1),
       "(turn 0, player 1) does not lead to turn 1, player 0"},
      {"save of another game", "turns/turn_1_0.zts", data_dir::save(0, 2, "game_5"),
       "belongs to game_5"},
      {"state naming the wrong file", "state.txt",
       "turn:1\ncurplr:0\nstatus:0\nlastfile:turn_0_2.zts\nwinner:0\nplr_states:1|1|1\n",
       "expected turn_1_0.zts"},
      {"half-created game", "cond.txt", "", "no cond.txt"},
      {"name.txt missing", "name.txt", "", "name.txt is missing"},
  };
  for (const damage& c : cases) {
    SCOPED_TRACE(c.what);
    data_dir d;
    if (c.bytes.empty()) {
      std::filesystem::remove(d.game(c.file));
    } else {
      write_test_file(d.game(c.file), c.bytes);
    }
    std::string out;
    EXPECT_EQ(d.check(&out), 1) << out;
    EXPECT_NE(out.find("game_0: "), std::string::npos) << out;
    EXPECT_NE(out.find(c.expected), std::string::npos) << out;
  }
}

}  // namespace
