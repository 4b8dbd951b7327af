// The game protocol through real sockets against the in-process server: every refusal, the plain
// and JSONP lists byte for byte, a stop and restart from disk, and the failure paths (a failed
// creation leaves no trace, a failed submission puts the record and the files back).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <mutex>
#include <optional>

#include "db/game.h"
#include "db/game_files.h"
#include "db/generation.h"
#include "db/load.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "net/reply.h"
#include "server/server.h"
#include "tests/support/game_client.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string sample(const std::string& name) {
  return read_file(std::string(ZTS_SOURCE_DIR) + "/tests/data/vectors/" + name + ".zts");
}

// A move of a game of `plr_cnt` players (sample teams and colours unless changed).
save_recipe move_of(int plr_cnt, int game, int turn, int curplr) {
  save_recipe s = sample_save_recipe(plr_cnt);
  s.game.server_id = "game_" + std::to_string(game);
  s.game.turn = turn;
  s.game.curplr = curplr;
  return s;
}

std::string move(int plr_cnt, int game, int turn, int curplr) {
  return write_save(move_of(plr_cnt, game, turn, curplr));
}

// The reason load_game_save gives for `upload`, as the parse refusals quote it.
std::string reader_reason(const std::string& upload) {
  auto gam = std::make_unique<gametyp>();
  std::string why;
  std::lock_guard lock(db_lock);
  EXPECT_FALSE(load_game_save(gam.get(), upload, &why));
  return why;
}

struct Protocol : ::testing::Test {
  Protocol() {
    set_log_file(dir.file("zts.log"), false);
    std::lock_guard lock(db_lock);
    games.clear();
    bump_games_generation();  // the kept lists must not outlive this change
  }
  ~Protocol() override {
    server.reset();
    std::lock_guard lock(db_lock);
    games.clear();
    bump_games_generation();
  }

  uint16_t port() const { return server->port(); }
  std::string get(const std::string& query) { return game_get(port(), query).body; }
  std::string post(int op, const std::string& save) { return post_save(port(), op, save).body; }
  std::map<std::string, std::string> tree() { return read_tree(dir.file("game_server")); }

  temp_dir dir;
  scoped_cwd cwd{dir.path};
  std::optional<scoped_server> server{std::in_place};
};

const std::string ok_created = "ZTXS\n00\nOK\n";
const std::string ok_moved = "ZTXS\n00\nOk\n";
const std::string crash = "ZTXS Crash in zt_server";

// ---------------------------------------------------------------------------------------------
// Refusals: the exact message, nothing sent but it, and the game files untouched.

TEST_F(Protocol, EveryRefusalHasItsMessageAndChangesNothing) {
  ASSERT_EQ(post(8, move(2, 0, 0, 0)), ok_created);  // game_0: in play, turn 0, player 0
  save_recipe opening = move_of(2, 0, 0, 0);
  opening.game.moratorium = 5;
  ASSERT_EQ(post(8, write_save(opening)), ok_created);  // game_1: opening phase
  ASSERT_EQ(post(27, move(2, 1, 0, 0)), ok_moved);
  ASSERT_EQ(post(27, move(2, 1, 0, 1)), ok_moved);   // game_1 now in its second round
  ASSERT_EQ(post(8, move(2, 0, 0, 0)), ok_created);  // game_2: finished below
  save_recipe last = move_of(2, 2, 0, 0);
  last.game.plrs[1].out_flag = true;
  ASSERT_EQ(post(27, write_save(last)), ok_moved);
  {
    std::lock_guard lock(db_lock);
    games.emplace_back();  // slot 3 stays empty
    bump_games_generation();
  }

  const std::string empty_reason = reader_reason("");
  struct {
    std::string what;
    int op;  // 0: a GET of `query`
    std::string query_or_save;
    std::string message;
  } cases[] = {
      {"create, no upload", 0, "?op=8",
       "ZTXS Server failed to parse new game data file (" + empty_reason + ")"},
      {"create, broken save", 8, sample("bad_header_crc"),
       "ZTXS Server failed to parse new game data file (Header CRC error)"},
      {"submit, no upload", 0, "?op=27",
       "ZTXS Server failed to parse game data file (" + empty_reason + ")"},
      {"submit, broken save", 27, sample("bad_body_crc"),
       "ZTXS Server failed to parse game data file (Body CRC error)"},
      {"submit, older save without game id", 27, sample("old_20130121"), "ZTXS Invalid game id"},
      {"submit, game id in other case", 27,
       [] {
         save_recipe s = move_of(2, 0, 0, 0);
         s.game.server_id = "Game_0";
         return write_save(s);
       }(),
       "ZTXS Invalid game id"},
      {"submit, negative id", 27, move(2, -1, 0, 0), "ZTXS Game id is out of range"},
      {"submit, id one past the slots", 27, move(2, 4, 0, 0), "ZTXS Game id is out of range"},
      {"submit, empty slot", 27, move(2, 3, 0, 0), "ZTXS Unregistered game id"},
      {"submit, finished game", 27, move(2, 2, 0, 0), "ZTXS Game is closed or finished"},
      {"submit, wrong turn", 27, move(2, 0, 1, 0), "ZTXS Wrong turn (gam.turn=1, state.turn=0)"},
      {"submit, opening phase counts to the moratorium", 27, move(2, 1, 1, 0),
       "ZTXS Wrong turn (gam.turn=1, state.mor=5)"},
      {"submit, wrong player", 27, move(2, 0, 0, 1),
       "ZTXS Wrong player (gam.curplr=1, state.curplr=0)"},
      {"newest turn, no fn", 0, "?op=28", "ZTXS No game ID provided"},
      {"newest turn, empty fn first", 0, "?op=28&fn=&fn=game_0", "ZTXS No game ID provided"},
      {"newest turn, fn in other case", 0, "?op=28&fn=Game_0", "ZTXS Invalid game id"},
      {"newest turn, out of range", 0, "?op=28&fn=game_4", "ZTXS Game id is out of range"},
      {"newest turn, empty slot", 0, "?op=28&fn=game_3", "ZTXS Unregistered game id"},
      {"newest turn, finished game", 0, "?op=28&fn=game_2", "ZTXS Game is closed or finished"},
      {"replay, nothing given", 0, "?op=29", "ZTXS No game ID provided"},
      {"replay, no turn or player", 0, "?op=29&fn=game_2", "ZTXS No turn provided"},
      {"replay, empty turn", 0, "?op=29&fn=game_2&tn=&pl=0", "ZTXS No turn provided"},
      {"replay, no player", 0, "?op=29&fn=game_2&tn=0", "ZTXS No player provided"},
      {"replay, presence before the id", 0, "?op=29&fn=x&tn=0", "ZTXS No player provided"},
      {"replay, bad id", 0, "?op=29&fn=x&tn=0&pl=0", "ZTXS Invalid game id"},
      {"replay, unfinished game", 0, "?op=29&fn=game_0&tn=0&pl=0",
       "ZTXS Game is not closed or finished"},
      {"replay, no number reads as game 0", 0, "?op=29&fn=game_abc&tn=0&pl=0",
       "ZTXS Game is not closed or finished"},
      {"replay, leading zero", 0, "?op=29&fn=game_2&tn=00&pl=0", "ZTXS Turn was not saved"},
      {"replay, turn never played", 0, "?op=29&fn=game_2&tn=1&pl=0", "ZTXS Turn was not saved"},
      {"unknown code", 0, "?op=13", "ZTXS Unknown error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = tree();
    http_reply r =
        c.op == 0 ? game_get(port(), c.query_or_save) : post_save(port(), c.op, c.query_or_save);
    EXPECT_EQ(r.raw, html_reply_utf8("200 OK", c.message));
    EXPECT_EQ(tree(), before);
  }
  std::lock_guard lock(db_lock);
  EXPECT_EQ(games.size(), 4u);

  // The "SVOP" line names every submission to an existing game, refused ones included, and the
  // connection thread logs each refusal.
  const std::string log = read_file(dir.file("zts.log"));
  EXPECT_NE(log.find(":[SVOP      ]:party_next: game_2 (Test game)\r\n"), std::string::npos);
  EXPECT_NE(log.find(":[LOG-ERR   ]:ZTXS Wrong player (gam.curplr=1, state.curplr=0)\r\n"),
            std::string::npos);
}

TEST_F(Protocol, CreationRefusedWhileTheNextGameDirectoryIsTaken) {
  fs::create_directories(dir.file("game_server/game_0"));
  const auto before = tree();
  EXPECT_EQ(post(8, move(2, 0, 0, 0)), "ZTXS This game ID is already used");
  EXPECT_EQ(tree(), before);
  std::lock_guard lock(db_lock);
  EXPECT_TRUE(games.empty());
}

// ---------------------------------------------------------------------------------------------
// Lists: games in every status, built through the protocol, then compared byte for byte; then
// the server is stopped, the games are loaded again from disk, and everything reads the same.

// Windows-1251 "Битва за Север", the name in the Cyrillic sample save.
const std::string cyrillic_name_cp1251 = "\xC1\xE8\xF2\xE2\xE0 \xE7\xE0 \xD1\xE5\xE2\xE5\xF0";
const std::string quoted_name = "Say \"hi\" \\ ok\x01";

std::string jsonp_entry(const std::string& name, int k, const std::string& bgcolor,
                        const std::string& turn, int status, const std::string& curplr,
                        const std::string& winner, const std::string& curplr_color,
                        const std::string& winner_color) {
  return "  {\n   \"name\":\"" + name + "\",\n   \"server_id\":\"game_" + std::to_string(k) +
         "\",\n   \"bgcolor\":\"" + bgcolor + "\",\n   \"turn\":\"" + turn +
         "\",\n   \"status\":" + std::to_string(status) + ",\n   \"curplr\":\"" + curplr +
         "\",\n   \"winner\":\"" + winner + "\",\n   \"curplr_color\":\"#" + curplr_color +
         "\",\n   \"winner_color\":\"#" + winner_color + "\"\n  },\n";
}

std::string block_line(const std::string& tag, const std::string& text) {
  return tag + " " + std::to_string(text.size()) + "\n" + text + "\n";
}

// The plain list's block of game `k`, from the files the server keeps on disk.
std::string block_from_disk(const std::string& root, int k) {
  const std::string d = root + "/game_" + std::to_string(k) + "/";
  return "x9\n" + block_line("x1", read_file(d + "name.txt")) +
         block_line("x2", read_file(d + "descr.txt")) +
         block_line("x3", read_file(d + "cond.txt")) + block_line("x4", read_file(d + "state.txt"));
}

struct Lists : Protocol {
  // game_0 Cyrillic, in play at turn 0; game_1 quoted name, in play at turn 4 with player 1 to
  // move; game_2 second round of the opening phase; game_3 finished at turn 0 (player 1 won);
  // game_4 archived; game_5 opening phase at turn 0.
  void play() {
    ASSERT_EQ(post(8, sample("cyrillic_name")), ok_created);
    save_recipe quoted = move_of(2, 1, 0, 0);
    quoted.game.name = quoted_name;
    ASSERT_EQ(post(8, write_save(quoted)), ok_created);
    for (int turn = 0; turn < 4; ++turn) {
      for (int p = 0; p < 2; ++p) ASSERT_EQ(post(27, move(2, 1, turn, p)), ok_moved);
    }
    ASSERT_EQ(post(27, move(2, 1, 4, 0)), ok_moved);
    save_recipe opening = move_of(2, 2, 0, 0);
    opening.game.moratorium = 3;
    ASSERT_EQ(post(8, write_save(opening)), ok_created);
    ASSERT_EQ(post(27, move(2, 2, 0, 0)), ok_moved);
    ASSERT_EQ(post(27, move(2, 2, 0, 1)), ok_moved);
    ASSERT_EQ(post(8, move(2, 3, 0, 0)), ok_created);
    save_recipe resign = move_of(2, 3, 0, 0);
    resign.game.plrs[0].out_flag = true;
    ASSERT_EQ(post(27, write_save(resign)), ok_moved);
    ASSERT_EQ(post(8, move(2, 4, 0, 0)), ok_created);
    ASSERT_EQ(post(8, write_save(opening)), ok_created);
    // Only the hourly refresh archives; here the record is archived as it would do it.
    std::lock_guard lock(db_lock);
    games[4]->status = 3;
    bump_games_generation();
    save_game_files(game_root, *games[4]);
  }
};

TEST_F(Lists, GamesInEveryStatusByteForByte) {
  play();
  const std::string root = dir.file("game_server");
  EXPECT_EQ(read_file(root + "/game_0/name.txt"), cyrillic_name_cp1251);
  EXPECT_EQ(read_file(root + "/game_1/name.txt"), quoted_name);

  // Plain lists: Windows-1251 as stored, index descending, names unescaped.
  http_reply open = game_get(port(), "?op=11");
  EXPECT_EQ(open.header("Content-Type"), "text/html");
  EXPECT_EQ(open.body, "ZTXS\n4\ngame_5\ngame_2\ngame_1\ngame_0\n" + block_from_disk(root, 5) +
                           block_from_disk(root, 2) + block_from_disk(root, 1) +
                           block_from_disk(root, 0));
  EXPECT_NE(open.body.find("x1 " + std::to_string(quoted_name.size()) + "\n" + quoted_name + "\n"),
            std::string::npos);
  EXPECT_EQ(get("?op=12"), "ZTXS\n1\ngame_3\n" + block_from_disk(root, 3));

  // JSONP: status 1, 0, 2, 3; UTF-8; every text JSON-escaped.
  const std::string t1 = "Team 1", t2 = "Team 2", c1 = "F08010", c2 = "EF8111";
  http_reply jsonp = game_get(port(), "?op=666");
  EXPECT_EQ(jsonp.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(jsonp.body,
            "parseResult({\n \"games\" : [\n" +
                jsonp_entry("Test game", 5, "#666600", "Выс.", 1, t1, t1, c1, c1) +
                jsonp_entry("Test game", 2, "#666600", "Мор.", 1, t1, t1, c1, c1) +
                jsonp_entry("Say \\\"hi\\\" \\\\ ok\\u0001", 1, "#662200", "4", 0, t2, t1, c2, c1) +
                jsonp_entry("Битва за Север", 0, "#666600", "Выс.", 0, "Красные", "Красные",
                            "3C2B1A", "3C2B1A") +
                jsonp_entry("Test game", 3, "#221100", "Выс.", 2, t1, t2, c1, c2) +
                jsonp_entry("Test game", 4, "#000011", "Выс.", 3, t1, t1, c1, c1) + "  {}\n ]\n})");
}

TEST_F(Lists, ARestartFromDiskServesTheSameListsAndTurns) {
  play();
  const char* queries[] = {
      "?op=11",           "?op=12",           "?op=666",
      "?op=28&fn=game_0", "?op=28&fn=game_1", "?op=28&fn=game_2",
      "?op=28&fn=game_4", "?op=28&fn=game_5", "?op=29&fn=game_3&tn=0&pl=0",
  };
  std::map<std::string, std::string> replies;
  for (const char* q : queries) replies[q] = game_get(port(), q).raw;

  server.reset();
  {
    std::lock_guard lock(db_lock);
    games.clear();
    bump_games_generation();
    load_games(game_root);
  }
  server.emplace();
  for (const char* q : queries) EXPECT_EQ(game_get(port(), q).raw, replies[q]) << q;
  // The game goes on where it stopped, and the next creation takes the next id.
  EXPECT_EQ(post(27, move(2, 1, 4, 1)), ok_moved);
  EXPECT_EQ(post(8, move(2, 0, 0, 0)), ok_created);
  EXPECT_TRUE(dir_exists(dir.file("game_server/game_6")));
}

TEST_F(Lists, NoGames) {
  EXPECT_EQ(get("?op=11"), "ZTXS\n0\n");
  EXPECT_EQ(get("?op=12"), "ZTXS\n0\n");
  EXPECT_EQ(get("?op=666"), "parseResult({\n \"games\" : [\n  {}\n ]\n})");
}

// Game directories as an older server or a hand edit may leave them: one without cond.txt
// (its record has only its id), one whose current player and winner lie outside its lists, one
// with more players than a save can hold.
void write_game(const std::string& dir, const std::string& cond, const std::string& state) {
  fs::create_directories(dir + "/turns");
  write_test_file(dir + "/name.txt", "odd");
  write_test_file(dir + "/descr.txt", "");
  write_test_file(dir + "/cond.txt", cond);
  write_test_file(dir + "/state.txt", state);
  write_test_file(dir + "/turns/turn_0_0.zts", "first");
}

const std::string zero_rules = "rules:0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0\n";

TEST_F(Lists, RecordsWithShortListsShowEmptyTexts) {
  fs::create_directories(dir.file("game_server/game_0"));
  write_game(dir.file("game_server/game_1"), "map:m\nplr_cnt:3\nteams:A|B\ncolors:111111|222222\n",
             "turn:3\ncurplr:5\nstatus:0\nlastfile:turn_0_0.zts\nwinner:-1\nplr_states:1\n");
  {
    std::lock_guard lock(db_lock);
    load_games(game_root);
  }
  EXPECT_EQ(get("?op=666"), "parseResult({\n \"games\" : [\n" +
                                jsonp_entry("odd", 1, "#662200", "3", 0, "", "", "", "") +
                                jsonp_entry("", 0, "#666600", "Выс.", 0, "", "", "", "") +
                                "  {}\n ]\n})");
  const std::string cond1 =
      "map:m\nplr_cnt:3\nteams:A|B\ncolors:111111|222222\nmoney:0\n"
      "resource:0\nmoratorium:0\nuniset:\n" +
      zero_rules;
  const std::string state1 =
      "turn:3\ncurplr:5\nstatus:0\nlastfile:turn_0_0.zts\nwinner:-1\nplr_states:1\n";
  const std::string cond0 =
      "map:\nplr_cnt:0\nteams:\ncolors:\nmoney:0\nresource:0\n"
      "moratorium:0\nuniset:\n" +
      zero_rules;
  const std::string state0 = "turn:0\ncurplr:0\nstatus:0\nlastfile:\nwinner:0\nplr_states:\n";
  EXPECT_EQ(get("?op=11"),
            "ZTXS\n2\ngame_1\ngame_0\nx9\n" + block_line("x1", "odd") + block_line("x2", "") +
                block_line("x3", cond1) + block_line("x4", state1) + "x9\n" + block_line("x1", "") +
                block_line("x2", "") + block_line("x3", cond0) + block_line("x4", state0));
  // A move for the game whose current player has no entry: refused, nothing read or written
  // outside its lists.
  const auto before = tree();
  EXPECT_EQ(post(27, move(3, 1, 3, 5)), crash);
  EXPECT_EQ(tree(), before);
}

TEST_F(Protocol, MoreThanTwentyPlayersIsRefusedUntouched) {
  write_game(dir.file("game_server/game_0"), "plr_cnt:21\n",
             "turn:0\ncurplr:0\nstatus:0\nlastfile:turn_0_0.zts\nwinner:0\nplr_states:\n");
  game_info loaded;
  {
    std::lock_guard lock(db_lock);
    load_games(game_root);
    loaded = *games[0];
  }
  const auto before = tree();
  EXPECT_EQ(post(27, move(2, 0, 0, 0)), crash);
  EXPECT_EQ(tree(), before);
  std::lock_guard lock(db_lock);
  EXPECT_EQ(*games[0], loaded);
}

// ---------------------------------------------------------------------------------------------
// Replays take only plain numbers: nothing else reaches a path.

TEST_F(Protocol, ReplayTakesOnlyDecimalTurnAndPlayer) {
  ASSERT_EQ(post(8, move(2, 0, 0, 0)), ok_created);
  save_recipe last = move_of(2, 0, 0, 0);
  last.game.plrs[1].out_flag = true;
  const std::string final_save = write_save(last);
  ASSERT_EQ(post(27, final_save), ok_moved);
  ASSERT_EQ(get("?op=29&fn=game_0&tn=0&pl=0"), final_save);

  // Files a path with "/" or ".." would reach, were it put together as received.
  const std::string turns = dir.file("game_server/game_0/turns/");
  fs::create_directories(turns + "turn_x");
  write_test_file(dir.file("secret_0.zts"), "outside the game");
  write_test_file(turns + "turn_x/y_0.zts", "below the turns directory");
  write_test_file(turns + "turn_a_0.zts", "not a number");
  const char* queries[] = {
      "?op=29&fn=game_0&tn=x/../../../../secret&pl=0",
      "?op=29&fn=game_0&tn=x/y&pl=0",
      "?op=29&fn=game_0&tn=a&pl=0",
      "?op=29&fn=game_0&tn=0&pl=0/../turn_0_0",
      "?op=29&fn=game_0&tn=-0&pl=0",
      "?op=29&fn=game_0&tn=+0&pl=0",
      "?op=29&fn=game_0&tn=%30&pl=0",
      "?op=29&fn=game_0&tn=00000000000&pl=0",  // eleven digits
  };
  for (const char* q : queries) EXPECT_EQ(get(q), "ZTXS Turn was not saved") << q;
  write_test_file(turns + "turn_0000000000_0.zts", "ten digits");
  EXPECT_EQ(get("?op=29&fn=game_0&tn=0000000000&pl=0"), "ten digits");
}

// ---------------------------------------------------------------------------------------------
// Failed writes.

// Makes every write in this process past `bytes` fail (EFBIG) for a scope: a write failure
// that does not depend on permissions (the tests may run as root).
struct file_size_limit {
  explicit file_size_limit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved);
    old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~file_size_limit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
  }
  rlimit saved{};
  sighandler_t old_handler;
};

// A save too large to be written under file_size_limit(64 KB).
std::string large_save(int game) {
  save_recipe s = move_of(2, game, 0, 0);
  s.body.clear();
  uint32_t x = 12345;
  for (int i = 0; i < 200000; ++i) {
    x = x * 1103515245 + 12345;
    s.body += static_cast<char>(x >> 24);
  }
  return write_save(s);
}

TEST_F(Protocol, AFailedCreationLeavesNoTrace) {
  const std::string big = large_save(0);
  {
    file_size_limit limit(64 * 1024);
    EXPECT_EQ(post(8, big), crash);
  }
  EXPECT_FALSE(fs::exists(dir.file("game_server")));  // not even the root it made
  {
    std::lock_guard lock(db_lock);
    EXPECT_TRUE(games.empty());
  }
  ASSERT_EQ(post(8, move(2, 0, 0, 0)), ok_created);
  const auto with_one = tree();
  const std::string lists = get("?op=11") + get("?op=666");
  {
    file_size_limit limit(64 * 1024);
    EXPECT_EQ(post(8, big), crash);
  }
  EXPECT_EQ(tree(), with_one);
  EXPECT_FALSE(fs::exists(dir.file("game_server/game_1")));
  EXPECT_EQ(get("?op=11") + get("?op=666"), lists);
  // The slot was given back: the next creation takes it.
  EXPECT_EQ(post(8, big), ok_created);
  EXPECT_EQ(read_file(dir.file("game_server/game_1/turns/turn_0_0.zts")), big);
}

TEST_F(Protocol, AFailedSubmissionPutsTheRecordAndTheFilesBack) {
  ASSERT_EQ(post(8, move(2, 0, 0, 0)), ok_created);
  const std::string game = dir.file("game_server/game_0/");
  std::string state;
  // state.txt, the last file a submission writes, cannot be replaced while it is a non-empty
  // directory.
  auto block_state = [&] {
    state = read_file(game + "state.txt");
    fs::remove(game + "state.txt");
    fs::create_directories(game + "state.txt/x");
  };
  auto unblock_state = [&] {
    fs::remove_all(game + "state.txt");
    write_test_file(game + "state.txt", state);
  };
  auto record = [] {
    std::lock_guard lock(db_lock);
    return *games[0];
  };

  // An ordinary move: turn, player, file name and a team name would change.
  const game_info before = record();
  auto files = tree();
  const std::string lists = get("?op=11") + get("?op=666");
  save_recipe renamed = move_of(2, 0, 0, 0);
  renamed.game.plrs[1].team_name = "Renamed";
  block_state();
  EXPECT_EQ(post(27, write_save(renamed)), crash);
  unblock_state();
  EXPECT_EQ(record(), before);
  EXPECT_EQ(tree(), files);  // no turn_0_1.zts, cond.txt without "Renamed"
  EXPECT_EQ(get("?op=11") + get("?op=666"), lists);
  EXPECT_EQ(post(27, write_save(renamed)), ok_moved);

  // The final move: status, winner and the players' states would change, and the file player
  // 1 downloaded would be replaced.
  const game_info before_end = record();
  files = tree();
  save_recipe resign = move_of(2, 0, 0, 1);
  resign.game.plrs[0].out_flag = true;
  resign.game.plrs[1].team_name = "Winner";
  block_state();
  EXPECT_EQ(post(27, write_save(resign)), crash);
  unblock_state();
  EXPECT_EQ(record(), before_end);
  EXPECT_EQ(tree(), files);
  EXPECT_EQ(get("?op=28&fn=game_0"), files["game_0/turns/turn_0_1.zts"]);
  EXPECT_EQ(post(27, write_save(resign)), ok_moved);
  EXPECT_EQ(record().status, 2);
  EXPECT_EQ(record().winner, 1);
}

}  // namespace
