// zts_admin against the real server binary: every operation from the command line through the
// admin socket to the files and back out through the protocol's lists and downloads, refusals
// that change nothing, and a revert racing a move.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/file_io.h"
#include "tests/support/command.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/json_reader.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using enum command_stderr;

struct Admin : ::testing::Test {
  void SetUp() override {
    if (!net.error.empty()) GTEST_SKIP() << net.error;
    server = std::make_unique<server_process>(dir.path);
  }

  // zts_admin with `args` (the game directory's socket), run from the test's directory.
  command_result admin(const std::string& args, command_stderr err = captured) {
    return run_command(
        "cd '" + dir.path + "' && '" + build_path("zts_admin") + "' --socket admin.sock " + args,
        err);
  }
  json_value admin_json(const std::string& args, int expected_status = 0) {
    command_result r = admin("--json " + args, discarded);
    EXPECT_EQ(r.status, expected_status) << args << ": " << r.out;
    json_value v;
    std::string err;
    EXPECT_TRUE(parse_json(r.out, &v, &err)) << err << ": " << r.out;
    return v;
  }

  client_options to_server() const {
    return {.host = host_ipv4(), .source_ip = "", .timeout_ms = 10000};
  }

  // Saves are dated now, or else the hourly pass a second after start would archive the game.
  static save_recipe fresh_recipe() {
    save_recipe s = sample_save_recipe(3);
    s.game.save_time = static_cast<int32_t>(::time(nullptr));
    return s;
  }
  std::string move(int turn, int curplr, bool end = false) {
    save_recipe s = fresh_recipe();
    s.game.turn = turn;
    s.game.curplr = curplr;
    s.body = "move " + std::to_string(turn) + "." + std::to_string(curplr) + (end ? " end" : "");
    if (end) s.game.plrs[1].out_flag = s.game.plrs[2].out_flag = true;
    return write_save(s);
  }
  std::string submit(const std::string& save) { return post_save(80, 27, save, to_server()).body; }
  http_reply newest() { return game_get(80, "?op=28&fn=game_0", to_server()); }
  std::string open_list() { return game_get(80, "?op=11", to_server()).body; }
  std::string game_file(const std::string& name) {
    return read_file(dir.file("game_server/game_0/" + name));
  }
  // Sends `bytes` on the admin socket as they stand and returns the whole reply.
  std::string raw_request(const std::string& bytes) {
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir.file("admin.sock");
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (::connect(fd.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "no connect";
    write_all(fd.fd, bytes, path);
    ::shutdown(fd.fd, SHUT_WR);
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd.fd, buf, sizeof buf)) > 0;)
      reply.append(buf, static_cast<size_t>(n));
    return reply;
  }
  std::map<std::string, std::string> tree() { return read_tree(dir.file("game_server")); }

  private_network net;
  temp_dir dir;
  std::unique_ptr<server_process> server;
};

TEST_F(Admin, EveryOperationFromTheToolToTheFilesAndTheLists) {
  ASSERT_EQ(post_save(80, 8, write_save(fresh_recipe()), to_server()).body, "ZTXS\n00\nOK\n");
  const std::string m00 = move(0, 0), m01 = move(0, 1);
  ASSERT_EQ(submit(m00), "ZTXS\n00\nOk\n");
  ASSERT_EQ(submit(m01), "ZTXS\n00\nOk\n");

  struct stat st;
  ASSERT_EQ(::stat(dir.file("admin.sock").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  json_value g = admin_json("game game_0")["game"];
  EXPECT_EQ(g["status"].text, "in_play");
  EXPECT_EQ(g["newest_save"].text, "turn_0_2.zts");
  EXPECT_EQ(g["players"].items.size(), 3u);
  EXPECT_EQ(g["players"][1]["team"].text, "Team 2");
  EXPECT_EQ(g["turn_files"].items.size(), 3u);
  // A game is one JSON object wherever it is shown: the operators' is the JSON API's, byte for
  // byte, with their own members after it.
  const std::string api_list = http_get(80, "/api/games", to_server()).body;
  ASSERT_TRUE(api_list.starts_with("{\"games\":[{") && api_list.ends_with("}]}")) << api_list;
  const std::string api_game = api_list.substr(10, api_list.size() - 13);
  EXPECT_EQ(admin("--json games").out,
            "{\"ok\":true,\"games\":[" + api_game + ",\"newest_save\":\"turn_0_2.zts\"}]}\n");
  EXPECT_NE(api_game.find("\"to_move\":2,\"winner\":null,\"last_move\":\""), std::string::npos);
  EXPECT_EQ(admin("games").out.find("game_0  in_play  turn 0"), 0u) << admin("games").out;
  // Every status spelling the help lists is taken, and one it does not list is refused.
  const std::string help = run_command("'" + build_path("zts_admin") + "' --help", captured).out;
  const size_t listed_at = help.find("STATUS: ");
  ASSERT_NE(listed_at, std::string::npos) << help;
  std::istringstream listed(help.substr(listed_at + 8, help.find("\n  game ID") - listed_at - 8));
  int spellings = 0;
  for (std::string word; listed >> word;) {
    if (word == "or") continue;
    if (word.ends_with(',')) word.pop_back();
    EXPECT_EQ(admin("games " + word).status, 0) << word;
    ++spellings;
  }
  EXPECT_EQ(spellings, 8) << help;
  EXPECT_EQ(admin("games in-play").status, 1);

  // Refusals change nothing and say why, with exit status 1.
  const auto before = tree();
  const std::string state_before = game_file("state.txt");
  struct refusal {
    std::string args;
    std::string reason;
  } refusals[] = {
      {"revert 0 turn_0_1.zts", "newest save is turn_0_2.zts, not turn_0_1.zts"},
      {"revert 7", "no game game_7"},
      {"unarchive 0", "is not archived"},
      {"restore 0", "the trash holds no game_0"},
      {"snapshot " + std::string("/nonexistent/dir"), "is not a directory"},
      {"snapshot .", "exists"},
      {"frobnicate 0", "unknown operation"},
      {"revert x", "usage: revert"},
  };
  for (const refusal& r : refusals) {
    command_result out = admin(r.args);
    EXPECT_EQ(out.status, 1) << r.args << ": " << out.out;
    EXPECT_NE(out.out.find(r.reason), std::string::npos) << r.args << ": " << out.out;
  }
  EXPECT_EQ(admin_json("archive 99", 1)["error"].text, "no game game_99");
  EXPECT_EQ(tree(), before);

  // Revert: the mover of turn_0_2 (player 1) downloads turn_0_1 again and plays again.
  EXPECT_EQ(admin("revert 0 turn_0_2.zts").status, 0);
  EXPECT_EQ(game_file("state.txt"),
            "turn:0\ncurplr:1\nstatus:0\nlastfile:turn_0_1.zts\nwinner:0\nplr_states:1|1|1\n");
  EXPECT_EQ(game_file("aside/undone_1_turn_0_2.zts"), m01);
  EXPECT_FALSE(file_exists(dir.file("game_server/game_0/turns/turn_0_2.zts")));
  EXPECT_EQ(newest().body, m00);
  EXPECT_NE(open_list().find("turn:0\ncurplr:1\n"), std::string::npos);
  EXPECT_NE(submit(m00).find("Wrong player"), std::string::npos);
  ASSERT_EQ(submit(m01), "ZTXS\n00\nOk\n");

  // The final move replaces the file its mover downloaded; reverting it reopens the game and
  // hands that file out again, byte for byte.
  const std::string m02 = move(0, 2);
  ASSERT_EQ(submit(m02), "ZTXS\n00\nOk\n");  // turn_1_0
  const std::string downloaded = newest().body;
  const std::string final_move = move(1, 0, true);
  ASSERT_EQ(submit(final_move), "ZTXS\n00\nOk\n");
  EXPECT_EQ(open_list(), "ZTXS\n0\n");
  EXPECT_EQ(admin_json("revert 0")["game"]["status"].text, "in_play");
  EXPECT_EQ(newest().body, downloaded);
  EXPECT_EQ(game_file("state.txt"),
            "turn:1\ncurplr:0\nstatus:0\nlastfile:turn_1_0.zts\nwinner:0\nplr_states:1|1|1\n");
  EXPECT_EQ(game_file("aside/undone_1_turn_1_0.zts"), final_move);
  EXPECT_NE(open_list().find("game_0"), std::string::npos);
  // Back to before the creation's first move, then nothing is left to undo.
  for (const char* file : {"turn_1_0.zts", "turn_0_2.zts", "turn_0_1.zts"}) {
    EXPECT_EQ(admin(std::string("revert 0 ") + file).status, 0) << file;
  }
  EXPECT_EQ(game_file("state.txt"),
            "turn:0\ncurplr:0\nstatus:0\nlastfile:turn_0_0.zts\nwinner:0\nplr_states:1|1|1\n");
  EXPECT_NE(admin("revert 0").out.find("has no move to revert"), std::string::npos);
  // A year-old move: the hourly pass would archive the game (turn below 3, 15 days).
  save_recipe old = sample_save_recipe(3);
  old.game.save_time = static_cast<int32_t>(::time(nullptr)) - 365 * 86400;
  const std::string m00_old = write_save(old);
  ASSERT_EQ(submit(m00_old), "ZTXS\n00\nOk\n");

  // Archive and unarchive: out of the open list and back, the status remembered.
  EXPECT_EQ(admin_json("archive 0")["game"]["status_code"].number, 3);
  EXPECT_EQ(open_list(), "ZTXS\n0\n");
  EXPECT_NE(http_get(80, "/api/games/0", to_server()).body.find("\"status_code\":3"),
            std::string::npos);
  EXPECT_NE(game_get(80, "?op=666", to_server()).body.find("\"status\":3"), std::string::npos);
  EXPECT_EQ(admin("archive 0").status, 1);
  EXPECT_EQ(admin_json("unarchive 0")["game"]["status"].text, "in_play");
  EXPECT_NE(game_file("admin.txt").find("unarchived:"), std::string::npos);
  // The hourly pass now measures from the unarchive, so an old game stays open.
  EXPECT_EQ(admin("refresh").status, 0);
  EXPECT_NE(open_list().find("game_0"), std::string::npos);

  // Remove to the trash and restore.
  EXPECT_EQ(admin("remove game_0").status, 0);
  EXPECT_EQ(open_list(), "ZTXS\n0\n");
  EXPECT_EQ(newest().body, "ZTXS Unregistered game id");
  EXPECT_TRUE(file_exists(dir.file("game_server/.trash/game_0/state.txt")));
  EXPECT_EQ(admin("game 0").status, 1);
  EXPECT_EQ(admin("restore 0").status, 0);
  EXPECT_NE(open_list().find("game_0"), std::string::npos);
  EXPECT_EQ(newest().body, m00_old);

  // A snapshot zts_check passes; the same directory again is refused.
  command_result snap = admin("snapshot backup");
  EXPECT_EQ(snap.status, 0) << snap.out;
  command_result check =
      run_command("'" + build_path("zts_check") + "' '" + dir.file("backup") + "'", captured);
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_NE(check.out.find("checked 1 games"), std::string::npos) << check.out;
  EXPECT_EQ(admin("snapshot backup").status, 1);

  // A malformed request straight on the socket is refused and the server goes on.
  EXPECT_EQ(raw_request("garbage\n").substr(0, 26), "refused malformed request:");
  EXPECT_EQ(raw_request("text\tgames"),
            "refused no request line (one line of at most 4096 bytes, ending in LF)\n");
  EXPECT_EQ(admin("games").status, 0);

  const std::string metrics = http_get(80, "/metrics", to_server()).body;
  EXPECT_NE(metrics.find("zts_admin_operations_total{operation=\"revert\",outcome=\"done\"} 5"),
            std::string::npos)
      << metrics;

  const std::string log = read_file(dir.file("zts.log"));
  EXPECT_NE(log.find(":[ADM       ]:revert 0 turn_0_2.zts: reverted game_0"), std::string::npos);
  EXPECT_NE(log.find(":[ADM       ]:revert 7 refused: no game game_7"), std::string::npos);

  // Everything holds after a restart, and a socket left by a killed server is replaced.
  ::kill(server->pid, SIGKILL);
  server->wait_exit(std::chrono::seconds(10));
  std::filesystem::rename(dir.file("zts.log"), dir.file("zts.log.1"));  // wait for a new "Running"
  server = std::make_unique<server_process>(dir.path);
  EXPECT_EQ(admin_json("game 0")["game"]["newest_save"].text, "turn_0_1.zts");
  EXPECT_EQ(run_command("'" + build_path("zts_check") + "' '" + dir.path + "'", captured).status,
            0);
}

TEST_F(Admin, ARevertRacingAMoveHasOneWinner) {
  ASSERT_EQ(post_save(80, 8, write_save(fresh_recipe()), to_server()).body, "ZTXS\n00\nOK\n");
  int turn = 0, curplr = 0, reverts_won = 0, moves_won = 0;
  for (int round = 0; round < 12; ++round) {
    ASSERT_EQ(submit(move(turn, curplr)), "ZTXS\n00\nOk\n");
    if (++curplr == 3) curplr = 0, ++turn;
    const std::string newest_name =
        "turn_" + std::to_string(turn) + "_" + std::to_string(curplr) + ".zts";
    // Starting zts_admin costs a few milliseconds: the move starts later by varying amounts,
    // so that either can come first.
    const std::string next = move(turn, curplr);
    auto mover = std::async(std::launch::async, [&, round] {
      std::this_thread::sleep_for(std::chrono::milliseconds(round % 6 * 2));
      return submit(next);
    });
    command_result revert = admin("revert 0 " + newest_name);
    const std::string moved = mover.get();
    const bool move_won = moved == "ZTXS\n00\nOk\n";
    ASSERT_NE(move_won, revert.status == 0) << moved << " / " << revert.out;
    const std::string state = game_file("state.txt");
    if (move_won) {
      ++moves_won;
      EXPECT_NE(revert.out.find("newest save is"), std::string::npos) << revert.out;
      if (++curplr == 3) curplr = 0, ++turn;
    } else {
      ++reverts_won;
      EXPECT_NE(moved.find("ZTXS Wrong"), std::string::npos) << moved;
      if (--curplr < 0) curplr = 2, --turn;
    }
    EXPECT_NE(state.find("turn:" + std::to_string(turn) + "\ncurplr:" + std::to_string(curplr)),
              std::string::npos)
        << state;
  }
  std::cout << "reverts won " << reverts_won << ", moves won " << moves_won << "\n";
  EXPECT_EQ(run_command("'" + build_path("zts_check") + "' '" + dir.path + "'", captured).status,
            0);
}

}  // namespace
