// Games whose files were damaged or edited by hand, against the real server binary and the
// operators' tools: final moves made again after the hourly pass, refused final moves, hand
// edits, and games repaired from their own saves.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "lib/file_io.h"
#include "tests/support/command.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using enum command_stderr;

constexpr int32_t thirty_one_days = 31 * 24 * 3600;
const std::string ok_create = "ZTXS\n00\nOK\n";
const std::string ok_move = "ZTXS\n00\nOk\n";
const std::string crash_reply = "ZTXS Crash in zt_server";

// A game of `players` named `name`, the save made `age` seconds ago by `curplr` at `turn`;
// `end` puts every other player out (the move ends the game).
std::string save_of(int players, const std::string& name, int turn, int curplr, bool end = false,
                    int32_t age = 0, const std::string& id = "game_0") {
  save_recipe s = sample_save_recipe(players);
  s.game.name = name;
  s.game.server_id = id;
  s.game.turn = turn;
  s.game.curplr = curplr;
  s.game.save_time = static_cast<int32_t>(::time(nullptr)) - age;
  s.body = "move " + std::to_string(turn) + "." + std::to_string(curplr) + (end ? " end" : "");
  for (int i = 0; end && i < players; ++i) s.game.plrs[i].out_flag = i != curplr;
  return write_save(s);
}

// The names in `dir` with the inode and bytes of each: what "left exactly as it was" means.
std::map<std::string, std::string> files_in(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    struct stat st {};
    ::stat(e.path().c_str(), &st);
    files[e.path().filename().string()] = std::to_string(st.st_ino) + ":" + read_file(e.path());
  }
  return files;
}

struct Damaged : ::testing::Test {
  void SetUp() override {
    if (!net.error.empty()) GTEST_SKIP() << net.error;
    start();
  }
  // (Re)starts the server and waits for its first hourly pass, a second after the start.
  void start() {
    server.reset();
    server = std::make_unique<server_process>(dir.path);
    server->wait_for_log("Status refresh.");
  }
  // Stops the server; the next start() begins a fresh zts.log (it waits for lines in it).
  void stop() {
    server->stop();
    ASSERT_TRUE(server->stopped_cleanly()) << read_file(dir.file("console.txt"));
    old_logs += read_file(dir.file("zts.log"));
    ASSERT_EQ(::remove(dir.file("zts.log").c_str()), 0);
  }
  void restart() {
    stop();
    start();
  }
  command_result admin(const std::string& args) {
    return run_command(
        "cd '" + dir.path + "' && '" + build_path("zts_admin") + "' --socket admin.sock " + args,
        captured);
  }
  command_result check() {
    return run_command("'" + build_path("zts_check") + "' '" + dir.path + "'", captured);
  }
  client_options to_server() const {
    return {.host = host_ipv4(), .source_ip = "", .timeout_ms = 10000};
  }
  std::string submit(int op, const std::string& save) {
    return post_save(80, op, save, to_server()).body;
  }
  std::string get(const std::string& query) { return game_get(80, query, to_server()).body; }
  std::string game(int id) const { return dir.file("game_server/game_" + std::to_string(id)); }

  private_network net;
  temp_dir dir;
  std::unique_ptr<server_process> server;
  std::string old_logs;  // the logs of the earlier runs
};

TEST_F(Damaged, FinalMovesAfterTheHourlyPassHandEditsAndForgedLogLines) {
  // game_0 ends at once; the move is dated 31 days back, so each start archives it.
  ASSERT_EQ(submit(8, save_of(2, "Duel", 0, 0)), ok_create);
  const std::string final_move = save_of(2, "Duel", 0, 0, true, thirty_one_days);
  ASSERT_EQ(submit(27, final_move), ok_move);
  restart();
  EXPECT_NE(read_file(dir.file("zts.log")).find("Archiving game_0 due to smallness"),
            std::string::npos);
  // The same move again: cond.txt has not changed since the first, so end_cond.txt already
  // links it, and no temporary name may stay behind.
  ASSERT_EQ(submit(27, final_move), ok_move);
  const std::string aside = game(0) + "/aside";
  auto names = [&] {
    std::string out;
    for (const auto& [name, _] : files_in(aside)) out += name + " ";
    return out;
  };
  EXPECT_EQ(names(), "end_cond.txt end_save.zts end_state.txt ");

  // Archived again; now a final move that the disk refuses leaves aside/ and the game's other
  // files exactly as they were.
  restart();
  ASSERT_EQ(::rename((game(0) + "/turns").c_str(), (game(0) + "/turns.kept").c_str()), 0);
  write_test_file(game(0) + "/turns", "not a directory");
  const auto aside_before = files_in(aside);
  const auto tree_before = read_tree(game(0));
  EXPECT_EQ(submit(27, final_move), crash_reply);
  EXPECT_EQ(files_in(aside), aside_before);
  EXPECT_EQ(read_tree(game(0)), tree_before);
  // ...so the operator can still take the earlier final move back.
  ASSERT_EQ(::remove((game(0) + "/turns").c_str()), 0);
  ASSERT_EQ(::rename((game(0) + "/turns.kept").c_str(), (game(0) + "/turns").c_str()), 0);
  ASSERT_EQ(admin("unarchive 0").status, 0);
  const command_result reverted = admin("revert 0");
  EXPECT_EQ(reverted.status, 0) << reverted.out;
  EXPECT_NE(reverted.out.find("reverted game_0"), std::string::npos) << reverted.out;

  // game_1: a name with a line break, then hand edits of its files.
  ASSERT_EQ(submit(8, save_of(3, "Raid\nforged line", 0, 0, false, 0, "game_1")), ok_create);
  ASSERT_EQ(submit(27, save_of(3, "Raid\nforged line", 0, 0, false, 0, "game_1")), ok_move);
  stop();
  write_test_file(game(1) + "/name.txt", "plr_plr\r\n");
  std::string state = read_file(game(1) + "/state.txt");
  state.replace(state.find("plr_states:1|1|1"), 16, "plr_states:1|1|1 ; fixed");
  write_test_file(game(1) + "/state.txt", state);
  start();
  const std::string list = get("?op=11");
  const size_t block = list.find("x1 7\nplr_plr\nx2");
  ASSERT_NE(block, std::string::npos) << list;
  EXPECT_NE(list.find("plr_states:1|1|1\n", block), std::string::npos) << list;

  // Every line of the log, old and new, is one whole line: the name's line break became a blank.
  const std::string log = old_logs + read_file(dir.file("zts.log"));
  EXPECT_NE(log.find("party_next: game_1 (Raid forged line)\r\n"), std::string::npos);
  const std::regex line_start(R"(\d{4}-\d\d-\d\d-\d\d:\d\d:\d\d:\[.{10}\]:.*|Running.*|)");
  size_t start = 0;
  for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = log.substr(start, end - start);
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_TRUE(std::regex_match(line, line_start)) << line;
  }
}

// The lines of the event log, without their CR LF.
std::vector<std::string> log_lines(const std::string& log) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(log.substr(start, end - start));
  }
  return lines;
}

TEST_F(Damaged, GamesAreRebuiltFromTheirSavesOrHeldUntilRepaired) {
  ASSERT_EQ(submit(8, save_of(3, "Three", 0, 0)), ok_create);
  ASSERT_EQ(submit(27, save_of(3, "Three", 0, 0)), ok_move);
  ASSERT_EQ(submit(27, save_of(3, "Three", 0, 1)), ok_move);
  ASSERT_EQ(submit(8, save_of(2, "Two", 0, 0, false, 0, "game_1")), ok_create);
  ASSERT_EQ(submit(27, save_of(2, "Two", 0, 0, false, 0, "game_1")), ok_move);
  const std::string list = get("?op=11"), jsonp = get("?op=666");
  const std::string cond_0 = read_file(game(0) + "/cond.txt");
  const std::string state_1 = read_file(game(1) + "/state.txt");
  stop();

  // A cond.txt cut short and a state.txt gone: zts_check says what the start will do.
  ASSERT_EQ(::truncate((game(0) + "/cond.txt").c_str(), 40), 0);
  ASSERT_EQ(::remove((game(1) + "/state.txt").c_str()), 0);
  command_result checked = check();
  EXPECT_EQ(checked.status, 1) << checked.out;
  EXPECT_NE(checked.out.find("game_0: " + game(0) + "/cond.txt: lacks colors, money, resource, " +
                             "moratorium, uniset, rules (the next start rebuilds it from " +
                             "turns/turn_0_2.zts)"),
            std::string::npos)
      << checked.out;
  EXPECT_NE(checked.out.find("game_1: " + game(1) + "/state.txt: missing (the next start " +
                             "rebuilds it from turns/turn_0_1.zts)"),
            std::string::npos)
      << checked.out;

  // The start rebuilds both: the lists, the files and the next moves are as before the damage.
  start();
  const std::string log = read_file(dir.file("zts.log"));
  EXPECT_NE(
      log.find("]:game_0: cond.txt and state.txt rebuilt from turns/turn_0_2.zts (game_server/"
               "game_0/cond.txt: lacks colors, money, resource, moratorium, uniset, rules)\r\n"),
      std::string::npos)
      << log;
  EXPECT_NE(
      log.find("]:game_1: cond.txt and state.txt rebuilt from turns/turn_0_1.zts (game_server/"
               "game_1/state.txt: missing)\r\n"),
      std::string::npos)
      << log;
  EXPECT_EQ(get("?op=11"), list);
  EXPECT_EQ(get("?op=666"), jsonp);
  EXPECT_EQ(read_file(game(0) + "/cond.txt"), cond_0);
  EXPECT_EQ(read_file(game(1) + "/state.txt"), state_1);
  EXPECT_EQ(check().status, 0) << check().out;
  EXPECT_EQ(submit(27, save_of(3, "Three", 0, 2)), ok_move);
  EXPECT_EQ(submit(27, save_of(2, "Two", 0, 1, false, 0, "game_1")), ok_move);

  // Damaged while the server runs: the operator repairs it in place.
  const std::string cond_1 = read_file(game(1) + "/cond.txt");
  ASSERT_EQ(::truncate((game(1) + "/cond.txt").c_str(), 40), 0);
  command_result repaired = admin("repair 1");
  EXPECT_EQ(repaired.status, 0) << repaired.out;
  EXPECT_EQ(read_file(game(1) + "/cond.txt"), cond_1);
  EXPECT_EQ(admin("repair 1").status, 1);  // whole: nothing to repair

  // A game no save can rebuild is listed but held, every move and download failing with why.
  const std::string first_move = save_of(2, "Held", 0, 0, false, 0, "game_2");
  ASSERT_EQ(submit(8, save_of(2, "Held", 0, 0, false, 0, "game_2")), ok_create);
  ASSERT_EQ(submit(27, first_move), ok_move);
  const std::string cond_2 = read_file(game(2) + "/cond.txt");
  stop();
  ASSERT_EQ(::truncate((game(2) + "/cond.txt").c_str(), 40), 0);
  for (const char* save : {"turn_0_0.zts", "turn_0_1.zts"})
    write_test_file(game(2) + "/turns/" + save, "broken");
  start();
  EXPECT_NE(read_file(dir.file("zts.log")).find("]:game_2 held: game_server/game_2/cond.txt: "),
            std::string::npos);
  const std::string held_list = get("?op=11");
  EXPECT_NE(held_list.find("x1 4\nHeld\n"), std::string::npos) << held_list;
  EXPECT_EQ(submit(27, save_of(2, "Held", 0, 1, false, 0, "game_2")), crash_reply);
  EXPECT_EQ(get("?op=28&fn=game_2"), crash_reply);
  EXPECT_EQ(read_file(game(2) + "/cond.txt").size(), 40u);
  const std::vector<std::string> lines = log_lines(read_file(dir.file("zts.log")));
  int explained = 0;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (!lines[i].ends_with("]:Error in do_zt_server")) continue;
    EXPECT_NE(lines[i + 1].find("[ERR       ]:"), std::string::npos) << lines[i + 1];
    for (const char* op : {"party_next", "get_party_turn"}) {
      explained +=
          lines[i + 1].ends_with(
              std::string("]:") + op +
              " game 2: game_server/game_2/cond.txt: lacks colors, money, resource, moratorium, "
              "uniset, rules; no stored save reads (turns/turn_0_1.zts: Invalid "
              "signature, turns/turn_0_0.zts: Invalid signature)")
              ? 1
              : 0;
    }
  }
  EXPECT_EQ(explained, 2) << read_file(dir.file("zts.log"));
  command_result refused = admin("repair game_2");
  EXPECT_EQ(refused.status, 1) << refused.out;
  EXPECT_NE(refused.out.find("no stored save reads"), std::string::npos) << refused.out;

  // Once a save reads again, the operator's repair releases it.
  write_test_file(game(2) + "/turns/turn_0_1.zts", first_move);
  repaired = admin("repair game_2");
  EXPECT_EQ(repaired.status, 0) << repaired.out;
  EXPECT_EQ(read_file(game(2) + "/cond.txt"), cond_2);
  EXPECT_EQ(submit(27, save_of(2, "Held", 0, 1, false, 0, "game_2")), ok_move);
}

}  // namespace
