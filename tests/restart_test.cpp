// A game whose players typed anything survives a restart of the real binary: the lists and the
// status pages read the same before and after, and the game takes its next move.
//
// The server runs in a network namespace of the test's own, so port 80 is free whatever else
// runs on this machine.
#include <stdio.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "lib/asys.h"
#include "lib/file_io.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint16_t server_port = 80;
const std::string ok_create = "ZTXS\n00\nOK\n";
const std::string ok_move = "ZTXS\n00\nOk\n";

client_options to_server() {
  client_options o;
  o.host = host_ipv4();
  return o;
}

// Everything a client or an operator sees of the games.
std::vector<std::string> what_is_shown() {
  std::vector<std::string> shown;
  for (const char* query : {"?op=11", "?op=12", "?op=666"}) {
    shown.push_back(game_get(server_port, query, to_server()).body);
  }
  for (const char* page : {"/ztsv_log.php", "/ztsv_log.php?mode=1", "/ztsv_log.php?mode=2&id=0"}) {
    shown.push_back(http_get(server_port, page, to_server()).body);
  }
  return shown;
}

std::string team_name(int i) {
  std::string name = "Clan {" + std::to_string(i) + "} of the north; red//blue | green\nNo.";
  name.resize(60, 'x');
  return name;
}

// Twenty players whose names hold every byte the text files treat specially, and names long
// enough to make the teams line far longer than a parser line.
save_recipe awkward_game() {
  save_recipe recipe = sample_save_recipe(20);
  gametyp& g = recipe.game;
  g.name = "Winter {war}; part//2 | x\nsecond line";
  g.descr = "Rules:\r\n1. no rush; 2. {none}\r\n";
  g.map = " Isles {north; // big | map\nv2";
  g.uniset = "set;{x}//y|z\rw";
  for (int i = 0; i < g.plr_cnt; ++i) g.plrs[i].team_name = team_name(i);
  // Saved just now: the restarted server's first hourly pass must find nothing to finish or
  // archive before the pages are compared.
  g.save_time = static_cast<int32_t>(server_clock());
  return recipe;
}

save_recipe move(int turn, int curplr) {
  save_recipe m = awkward_game();
  m.game.turn = turn;
  m.game.curplr = curplr;
  return m;
}

TEST(Restart, AGameWithAwkwardNamesReadsTheSameAndPlaysOn) {
  private_network net;
  if (!net.error.empty()) GTEST_SKIP() << net.error;
  temp_dir dir;
  const std::string game = dir.file("game_server/game_0/");
  const save_recipe created = awkward_game();
  std::vector<std::string> before;
  {
    server_process server(dir.path);
    ASSERT_EQ(post_save(server_port, 8, write_save(created), to_server()).body, ok_create);
    ASSERT_EQ(post_save(server_port, 27, write_save(move(0, 0)), to_server()).body, ok_move);
    before = what_is_shown();
    server.stop();
    ASSERT_TRUE(server.stopped_cleanly()) << read_file(dir.file("console.txt"));
  }

  // The uploaded texts stay as they were; cond.txt carries each setting on one line of its own.
  EXPECT_EQ(read_file(game + "name.txt"), created.game.name);
  EXPECT_EQ(read_file(game + "descr.txt"), created.game.descr);
  const std::string cond = read_file(game + "cond.txt");
  EXPECT_TRUE(cond.starts_with("map: Isles {north; // big | map v2\nplr_cnt:20\nteams:Clan {0}"))
      << cond;
  std::string stored_team = team_name(0);
  std::replace(stored_team.begin(), stored_team.end(), '|', '\xA6');
  std::replace(stored_team.begin(), stored_team.end(), '\n', ' ');
  EXPECT_NE(cond.find("\nteams:" + stored_team + "|Clan {1}"), std::string::npos) << cond;
  EXPECT_NE(cond.find("\nuniset:set;{x}//y|z w\n"), std::string::npos) << cond;
  EXPECT_EQ(std::count(cond.begin(), cond.end(), '\n'), 9);
  EXPECT_EQ(read_file(game + "state.txt"),
            "turn:0\ncurplr:1\nstatus:0\nlastfile:turn_0_1.zts\nwinner:0\nplr_states:" +
                std::string("1|1|1|1|1|1|1|1|1|1|1|1|1|1|1|1|1|1|1|1\n"));

  // The new process is ready once a fresh log says "Running".
  ASSERT_EQ(::rename(dir.file("zts.log").c_str(), dir.file("zts.log.1").c_str()), 0);
  server_process server(dir.path);
  const std::vector<std::string> after = what_is_shown();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i], before[i]) << "reply " << i;
  EXPECT_NE(before[0].find("plr_cnt:20\n"), std::string::npos) << before[0];

  EXPECT_EQ(post_save(server_port, 27, write_save(move(0, 1)), to_server()).body, ok_move);
  EXPECT_TRUE(read_file(game + "state.txt").starts_with("turn:0\ncurplr:2\n"));
  server.stop();
  EXPECT_TRUE(server.stopped_cleanly()) << read_file(dir.file("console.txt"));
}

}  // namespace
