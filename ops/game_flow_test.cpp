// A whole game through real sockets against the in-process server: creation, the opening
// phase, a player dropping out, the end with a winner and the replay downloads, with every file
// on disk compared byte for byte after each step.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "db/game.h"
#include "db/generation.h"
#include "lib/log.h"
#include "server/server.h"
#include "tests/support/game_client.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

struct GameFlow : ::testing::Test {
  GameFlow() {
    set_log_file(dir.file("zts.log"), false);
    std::lock_guard lock(db_lock);
    games.clear();
    bump_games_generation();  // the kept lists must not outlive this change
  }
  ~GameFlow() override {
    std::lock_guard lock(db_lock);
    games.clear();
    bump_games_generation();
  }

  std::string file(const std::string& name) const {
    auto it = disk.find(name);
    return it == disk.end() ? "<missing " + name + ">" : it->second;
  }
  void reread() { disk = read_tree(dir.file("game_server/game_0")); }

  temp_dir dir;
  scoped_cwd cwd{dir.path};
  scoped_server server;
  std::map<std::string, std::string> disk;
};

std::string state_text(int turn, int curplr, int status, const std::string& lastfile, int winner,
                       const std::string& flags) {
  return "turn:" + std::to_string(turn) + "\ncurplr:" + std::to_string(curplr) +
         "\nstatus:" + std::to_string(status) + "\nlastfile:" + lastfile +
         "\nwinner:" + std::to_string(winner) + "\nplr_states:" + flags + "\n";
}

std::string cond_text(const std::string& teams, int moratorium) {
  return "map:Test Map\nplr_cnt:3\nteams:" + teams + "\ncolors:F08010|EF8111|EE8212\n" +
         "money:5000\nresource:2\nmoratorium:" + std::to_string(moratorium) +
         "\nuniset:default\nrules:1|0|0|1|0|0|0|0|0|0|0|0|0|0|0|0\n";
}

TEST_F(GameFlow, ThreePlayersFromOpeningPhaseToWinner) {
  save_recipe first = sample_save_recipe(3);
  first.game.moratorium = 5;
  first.game.turn = 9;  // the save's own turn and player play no part in creation
  first.game.plrs[2].out_flag = true;
  const std::string created = write_save(first);
  http_reply r = post_save(server.port(), 8, created);
  EXPECT_EQ(r.raw,
            "HTTP/1.0 200 OK\r\nContent-Length: 11\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Connection: close\r\n\r\nZTXS\n00\nOK\n");
  reread();
  EXPECT_EQ(file("name.txt"), "Test game");
  EXPECT_EQ(file("descr.txt"), "a game for tests");
  EXPECT_EQ(file("cond.txt"), cond_text("Team 1|Team 2|Team 3", 5));
  EXPECT_EQ(file("state.txt"), state_text(0, 0, 1, "set_0_0.zts", 0, "1|1|1"));
  EXPECT_EQ(file("turns/set_0_0.zts"), created);

  struct step {
    int save_turn, save_curplr;
    bool out[3];
    const char* team2;  // what the mover's save calls player 2
    const char* file;
    int turn, curplr, status, winner;
    const char* flags;
  };
  const step steps[] = {
      {0, 0, {}, "Team 2", "set_0_1.zts", 0, 1, 1, 0, "1|1|1"},
      {0, 1, {}, "Team 2", "set_0_2.zts", 0, 2, 1, 0, "1|1|1"},
      {0, 2, {}, "Team 2", "set_1_0.zts", 1, 0, 1, 0, "1|1|1"},
      // Second round of the opening phase: the client counts its turn up to the moratorium.
      {5, 0, {}, "Team 2", "set_1_1.zts", 1, 1, 1, 0, "1|1|1"},
      {5, 1, {}, "Team 2", "set_1_2.zts", 1, 2, 1, 0, "1|1|1"},
      {5, 2, {}, "Team 2", "turn_2_0.zts", 2, 0, 0, 0, "1|1|1"},
      // Player 1 drops out: the move skips to player 2.
      {2, 0, {false, true, false}, "Gone", "turn_2_2.zts", 2, 2, 0, 0, "1|0|1"},
      {2, 2, {false, true, false}, "Gone", "turn_3_0.zts", 3, 0, 0, 0, "1|0|1"},
      // Only player 2 is left: the game ends, the final save replaces the file player 0 loaded.
      {3, 0, {true, true, false}, "Gone", "turn_3_0.zts", 3, 0, 2, 2, "0|0|1"},
  };
  std::string newest = created;
  std::string newest_name = "set_0_0.zts";
  std::map<std::string, std::string> uploads;
  std::string last_download;
  for (const step& s : steps) {
    SCOPED_TRACE(s.file);
    r = game_get(server.port(), "?op=28&fn=game_0");
    EXPECT_EQ(r.header("Content-Disposition"), "attachment; filename=\"" + newest_name + "\"");
    EXPECT_EQ(r.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(r.body, newest);
    last_download = r.body;

    save_recipe move = sample_save_recipe(3);
    move.game.turn = s.save_turn;
    move.game.curplr = s.save_curplr;
    move.game.plrs[1].team_name = s.team2;
    for (int i = 0; i < 3; ++i) move.game.plrs[i].out_flag = s.out[i];
    newest = write_save(move);
    newest_name = s.file;
    uploads[s.file] = newest;
    EXPECT_EQ(post_save(server.port(), 27, newest).body, "ZTXS\n00\nOk\n");
    reread();
    EXPECT_EQ(file("turns/" + newest_name), newest);
    EXPECT_EQ(file("state.txt"), state_text(s.turn, s.curplr, s.status, s.file, s.winner, s.flags));
    EXPECT_EQ(file("cond.txt"), cond_text(std::string("Team 1|") + s.team2 + "|Team 3", 5));
  }
  // Four text files, nine distinct turn files, and the state, conditions and turn file that the
  // final move replaced, kept aside.
  EXPECT_EQ(disk.size(), 4u + 9u + 3u);
  EXPECT_EQ(file("aside/end_save.zts"), last_download);
  EXPECT_EQ(file("aside/end_state.txt"), state_text(3, 0, 0, "turn_3_0.zts", 0, "1|0|1"));

  // Every finished turn can be fetched for a replay; opening-phase files cannot (no "turn_").
  for (const auto& [name, bytes] : uploads) {
    if (!name.starts_with("turn_")) continue;
    size_t under = name.find('_', 5);
    r = game_get(server.port(), "?op=29&fn=game_0&tn=" + name.substr(5, under - 5) +
                                    "&pl=" + name.substr(under + 1, name.size() - under - 5));
    EXPECT_EQ(r.body, bytes) << name;
    EXPECT_EQ(r.header("Content-Disposition"), "attachment; filename=\"" + name + "\"");
  }
  EXPECT_EQ(game_get(server.port(), "?op=29&fn=game_0&tn=0&pl=1").body, "ZTXS Turn was not saved");
  EXPECT_EQ(game_get(server.port(), "?op=28&fn=game_0").body, "ZTXS Game is closed or finished");
  EXPECT_EQ(post_save(server.port(), 27, newest).body, "ZTXS Game is closed or finished");
  reread();
  EXPECT_EQ(file("state.txt"), state_text(3, 0, 2, "turn_3_0.zts", 2, "0|0|1"));
}

}  // namespace
