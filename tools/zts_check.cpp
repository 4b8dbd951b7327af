// zts_check: verifies a server's data directory while the server is stopped (or between its
// writes): every game directory under game_server/ loads, its text files are whole, state.txt
// names a turn file that exists and whose save is the move that led to the recorded turn and
// player, and no stored save is truncated or damaged. A game's final move that was cut off is
// judged as the next start will leave it (db/aside.h); so is a game whose text files lack keys,
// which the start rebuilds from a save or holds (db/repair.h).
//
//   zts_check [data directory]     (default: the working directory; it holds game_server/)
//
// Prints one line per problem ("game_<id>: <what>") and a summary line; exit status 0 when
// nothing is wrong, 1 when something is, 2 when the data directory does not exist or cannot be
// read (a mistyped path must not pass for a clean server). A directory the server could not
// write (as the user running this, or, run as root, as the owner of game_server/) is a problem. A
// data directory without game_server/ is a server that has no games yet: 0. Leftover temporaries of
// an interrupted write (".<name>.tmp.<pid>.<n>") are counted, not faults: the server never reads
// them. Nothing is written.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "db/aside.h"
#include "db/game.h"
#include "db/game_files.h"
#include "db/layout.h"
#include "db/load.h"
#include "db/repair.h"
#include "lib/conv.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "save/zts_save.h"
#include "tools/tool_cli.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* usage_text =
    "Usage: zts_check [DIR]\n"
    "  or:  zts_check --version | --help\n"
    "\n"
    "Checks a turn server's data directory DIR (default: the working directory; it holds\n"
    "game_server/) while the server is stopped, or a copy or snapshot of it: every game loads,\n"
    "its text files are whole, state.txt names a stored save that leads to the recorded turn and\n"
    "player, and no stored save is truncated or damaged. Prints one line per problem and a\n"
    "summary line. Leftover temporaries of an interrupted write are counted, not problems.\n"
    "Directories the server could not write are problems too: checked as this user, or, run\n"
    "as root, as the owner of game_server/.\n"
    "Writes nothing.\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  no problems\n"
    "  1  problems found (listed)\n"
    "  2  DIR does not exist or cannot be read\n"
    "A DIR without game_server/ belongs to a server with no games yet: status 0.\n";

// Saves older than this carry no server_id, so they cannot be tied to their game.
constexpr int32_t first_version_with_server_id = 20130122;

struct check_report {
  int games = 0;
  int turn_files = 0;
  int leftovers = 0;
  std::vector<std::string> problems;
};

struct game_check {
  std::string label;  // "game_<id>"
  check_report* report;
  void fail(const std::string& what) const { report->problems.push_back(label + ": " + what); }
};

// A whole text file ends in LF (what it lacks is the loader's to say: check_damage).
void check_text_file(const game_check& c, const std::string& path) {
  if (!file_exists(path)) return;
  if (!read_file(path).ends_with('\n'))
    c.fail(fs::path(path).filename().string() + " does not end in LF");
}

// A game whose text files lack keys: the next start rebuilds it from a save, or holds it.
void check_damage(const game_check& c, const std::string& root, const game_info& g,
                  const text_damage& damage) {
  game_info rebuilt;
  std::string from, why;
  if (rebuild_from_saves(root, g, damage.state_whole(), &rebuilt, &from, &why)) {
    c.fail(g.damage + " (the next start rebuilds it from turns/" + from + ")");
  } else {
    c.fail(g.damage + "; " + why + " (the server holds it until it is repaired)");
  }
}

// Decodes one stored save; a damaged or truncated one is a problem.
bool read_save(const game_check& c, const std::string& path, gametyp* save) {
  std::string why;
  if (!load_game_save(save, read_file(path), &why)) {
    c.fail("turns/" + fs::path(path).filename().string() + " does not decode (" + why + ")");
    return false;
  }
  return true;
}

// The turn and player the game moves to after the move in `save` (turn `turn`), the way the
// server passes a move on: the next player still in the game, the turn counting up at the wrap.
// Returns false when at most one player is left (the move ends the game).
bool hand_on(const gametyp& save, int32_t turn, int32_t* next_turn, int32_t* next_plr) {
  int32_t in_game = 0;
  for (int32_t i = 0; i < save.plr_cnt; ++i) in_game += save.plrs[i].out_flag ? 0 : 1;
  if (in_game < 2) return false;
  *next_turn = turn;
  *next_plr = save.curplr;
  for (int32_t step = 0; step < save.plr_cnt; ++step) {
    if (++*next_plr >= save.plr_cnt) {
      *next_plr = 0;
      ++*next_turn;
    }
    if (!save.plrs[*next_plr].out_flag) break;
  }
  return true;
}

// Whether the newest save is the move that led to the record's turn and player. In the second
// round of the opening phase the client writes the moratorium as its turn instead of 1.
bool continues(const game_info& g, const gametyp& save) {
  std::vector<int32_t> turns = {save.turn};
  if (g.moratorium > 0 && save.turn == g.moratorium) turns.push_back(1);
  for (int32_t turn : turns) {
    int32_t next_turn = 0, next_plr = 0;
    if (!hand_on(save, turn, &next_turn, &next_plr)) {
      if (g.status == status_finished && g.turn == save.turn && g.curplr == save.curplr)
        return true;
      continue;
    }
    if (next_turn == g.turn && next_plr == g.curplr) return true;
  }
  return false;
}

void check_newest_save(const game_check& c, const game_info& g, const std::string& root) {
  if (g.lastfile.empty()) {
    c.fail("state.txt names no turn file");
    return;
  }
  // A final move cut off before state.txt may have replaced the newest save already; the next
  // start puts back the file it kept aside, so that is the one to check.
  const std::string kept = pending_final_save(game_dir(root, g.id));
  const std::string path = kept.empty() ? newest_save_path(root, g) : kept;
  if (!file_exists(path)) {
    c.fail("state.txt names turns/" + g.lastfile + ", which does not exist");
    return;
  }
  auto save = std::make_unique<gametyp>();  // large
  if (!read_save(c, path, save.get())) return;
  if (save->plr_cnt != g.plr_cnt) {
    c.fail("turns/" + g.lastfile + " has " + int_to_str(save->plr_cnt) + " players, the game " +
           int_to_str(g.plr_cnt));
  }
  // The first save is the creator's: only its being whole matters.
  if (g.turn == 0 && g.curplr == 0 && (g.status == status_playing || g.status == status_opening))
    return;
  if (save->version >= first_version_with_server_id && save->server_id != c.label) {
    c.fail("turns/" + g.lastfile + " belongs to " + save->server_id);
  }
  if (g.status > status_opening)
    return;  // finished or archived: the refresh may have stopped it anywhere
  const std::string expected = turn_file_name(g.turn, g.curplr, g.status == status_opening);
  if (g.lastfile != expected) c.fail("state.txt names " + g.lastfile + ", expected " + expected);
  if (!continues(g, *save)) {
    c.fail("turns/" + g.lastfile + " (turn " + int_to_str(save->turn) + ", player " +
           int_to_str(save->curplr) + ") does not lead to turn " + int_to_str(g.turn) +
           ", player " + int_to_str(g.curplr));
  }
}

void check_turn_files(const game_check& c, const std::string& root, int32_t id) {
  const std::string turns = turns_dir(root, id);
  std::error_code ec;
  if (!fs::is_directory(turns, ec)) {
    c.fail("turns/ is missing");
    return;
  }
  for (const auto& entry : fs::directory_iterator(turns)) {
    const std::string name = entry.path().filename().string();
    if (is_leftover_temporary(name)) {
      ++c.report->leftovers;
      continue;
    }
    if (!entry.is_regular_file() || !name.ends_with(".zts")) continue;
    ++c.report->turn_files;
    auto save = std::make_unique<gametyp>();
    read_save(c, entry.path().string(), save.get());
  }
}

void check_game(const std::string& root, int32_t id, check_report* report) REQUIRES(db_lock) {
  const game_check c{game_dir_name(id), report};
  ++report->games;
  for (const auto& entry : fs::directory_iterator(game_dir(root, id))) {
    if (is_leftover_temporary(entry.path().filename().string())) ++report->leftovers;
  }
  if (!file_exists(game_file(root, id, cond_file))) {
    c.fail(std::string("no ") + cond_file + ": the directory does not hold a whole game");
    return;
  }
  for (const char* file : {name_file, descr_file}) {
    if (!file_exists(game_file(root, id, file))) c.fail(std::string(file) + " is missing");
  }
  check_text_file(c, game_file(root, id, cond_file));
  check_text_file(c, game_file(root, id, state_file));
  text_damage damage;
  try {
    damage = load_game(root, id);
  } catch (const io_error& e) {
    c.fail(std::string("does not load: ") + e.what());
    return;
  }
  const game_info& g = *games[id];
  if (damage.any()) {
    check_damage(c, root, g, damage);
    check_turn_files(c, root, id);
    return;
  }
  if (g.plr_cnt < 1 || g.plr_cnt > max_players) c.fail("plr_cnt " + int_to_str(g.plr_cnt));
  if (g.status < status_playing || g.status > status_archived)
    c.fail("status " + int_to_str(g.status));
  check_newest_save(c, g, root);
  check_turn_files(c, root, id);
}

// Why the server, running as the owner of game_server/, could not write `path`, or "". As that
// user, access() says it; run as root (which access() lets write anywhere) the owner's rights
// are read from the mode bits instead, the group's for a file of the owner's group.
std::string unwritable(const std::string& path, const struct stat& owner) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  if (::geteuid() != 0) {
    return ::access(path.c_str(), W_OK) == 0 ? "" : "not writable by this user";
  }
  const bool writable = st.st_uid == owner.st_uid   ? (st.st_mode & S_IWUSR) != 0
                        : st.st_gid == owner.st_gid ? (st.st_mode & S_IWGRP) != 0
                                                    : (st.st_mode & S_IWOTH) != 0;
  if (writable || owner.st_uid == 0) return "";
  return "not writable by uid " + std::to_string(owner.st_uid) + " (the owner of " + game_root +
         "/)";
}

// The places the server writes: the data directory (the log, bug.txt), game_server/ and what
// it holds, every game directory and its turns/ and aside/. Files are replaced by rename, so
// their directories are what must be writable; the log is appended to.
void check_writable(const std::string& data_dir, const std::string& root, check_report* report) {
  struct stat owner {};
  if (::stat(root.c_str(), &owner) != 0) return;
  std::vector<std::string> paths = {data_dir, data_dir + "/zts.log", root};
  for (const char* sub : {".new", ".swap", ".trash"}) paths.push_back(root + "/" + sub);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root, ec)) {
    const std::string name = entry.path().filename().string();
    int32_t id = game_dir_number(name);
    if (!entry.is_directory() || id < 0 || name != game_dir_name(id)) continue;
    paths.push_back(game_dir(root, id));
    paths.push_back(turns_dir(root, id));
    paths.push_back(game_dir(root, id) + "/" + aside_subdir);
  }
  for (const std::string& path : paths) {
    const std::string why = unwritable(path, owner);
    if (!why.empty()) report->problems.push_back(path + ": " + why);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (answer_help_or_version(argc, argv, "zts_check", usage_text)) return 0;
  if (argc > 2) {
    std::cerr << usage_text;
    return 2;
  }
  set_log_file("/dev/null", false);  // the loader's own log lines are not wanted here
  const std::string data_dir = argc == 2 ? argv[1] : ".";
  const std::string root = data_dir + "/" + game_root;
  check_report report;
  mutex_lock lock(db_lock);  // the loader's rule, though nothing else runs here
  try {
    std::error_code ec;
    if (!fs::is_directory(data_dir, ec)) {
      std::cerr << "zts_check: " << data_dir << ": no such directory\n";
      return 2;
    }
    if (!fs::is_directory(root, ec)) {
      std::cout << root << ": no such directory (no games yet)\n";
      return 0;
    }
    for (const auto& entry : fs::directory_iterator(root)) {
      const std::string name = entry.path().filename().string();
      if (!entry.is_directory()) continue;
      int32_t id = game_dir_number(name);
      if (id < 0 || name != game_dir_name(id)) continue;  // the loader reads game_<id>
      check_game(root, id, &report);
    }
  } catch (const std::exception& e) {
    std::cerr << "zts_check: " << e.what() << "\n";
    return 2;
  }
  check_writable(data_dir, root, &report);
  for (const std::string& line : report.problems) std::cout << line << "\n";
  std::cout << "checked " << report.games << " games, " << report.turn_files << " turn files, "
            << report.leftovers << " leftover temporaries: " << report.problems.size()
            << " problems\n";
  return report.problems.empty() ? 0 : 1;
}
