// zts_crashplay: kills the real server with SIGKILL at random moments while clients play, and
// checks after every kill that nothing acknowledged was lost and nothing is half-written.
//
//   zts_crashplay [--kills N] [--clients N] [--seed N] [--max-body BYTES] [--max-run-ms MS]
//
// Each client plays games of three players through the protocol (op=8 to create, op=28 for
// the newest turn, op=27 to move) and after `moves_per_game` moves ends the game with a final
// move (the other two players out), which replaces the file it downloaded. An operator thread
// meanwhile works on the finished games through the admin socket: revert, archive, unarchive,
// remove, restore, snapshot and refresh, each acknowledged or cut off by a kill. After each kill,
// with the server down: build/zts_check passes over the data directory, every upload that got
// "Ok"/"OK" is on disk byte for byte, and each game's state is the acknowledged one or the one
// a submission still in flight would give; each finished game is where the operator's
// acknowledged operations left it or where the one in flight would, and every snapshot that
// exists passes zts_check. After each restart: no "ERR" line in the new part
// of zts.log, both lists answer, and every acknowledged game is listed. A tenth of the kills
// fall during start-up. Exit status 0 when nothing was violated, 1 otherwise, 77 when the run
// cannot be isolated here.
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/game_files.h"
#include "db/layout.h"
#include "lib/conv.h"
#include "lib/file_io.h"
#include "lib/parser.h"
#include "tests/faults/fault_support.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int32_t players = 3;
constexpr int moves_per_game = 25;
constexpr int serving_timeout_ms = 15000;

struct run_options {
  int kills = 200;
  int clients = 4;
  uint32_t seed = 0;
  size_t max_body = 32 * 1024;
  int max_run_ms = 1500;
};

struct position {
  int32_t turn = 0, curplr = 0;
  bool operator==(const position&) const = default;
};

position after_move(position p) {
  if (++p.curplr >= players) {
    p.curplr = 0;
    ++p.turn;
  }
  return p;
}

std::string file_name(position p) {
  return turn_file_name(p.turn, p.curplr, false);
}

size_t digest(std::string_view bytes) {
  return std::hash<std::string_view>{}(bytes);
}

// One acknowledged upload: the file it must still be, by its digest.
struct acked_file {
  int32_t id;
  std::string file;
  size_t size;
  size_t hash;
};

// What one client knows; the driver reads it (under `lock`) while the server is down.
struct client_book {
  std::mutex lock;
  std::string name;                        // game being created or played ("" none)
  int32_t id = -1;                         // its id once known
  bool create_acked = false;               // op=8 answered "OK" for `name`
  acked_file first{};                      // the creation's save, while its id is not known yet
  position acked;                          // the state the server acknowledged last
  std::optional<position> flying;          // where a submission without an answer would lead
  std::optional<acked_file> final_flying;  // a final move without an answer: what it writes
  std::vector<acked_file> files;
  std::vector<std::string> problems;
};

struct totals {
  std::atomic<int> creates_acked{0}, moves_acked{0}, moves_found_unacked{0};
  std::atomic<int> creates_found_unacked{0};
};

const std::string ok_create = "ZTXS\n00\nOK\n";
const std::string ok_move = "ZTXS\n00\nOk\n";

client_options to_server() {
  return {.host = host_ipv4(), .source_ip = "", .timeout_ms = 10000};
}

// The open games (op=11), and with `finished_too` the finished ones (op=12) after them: a final
// move that got no answer may have ended a game the client still counts as its own.
bool listed_games(std::vector<listed_game>* list, bool finished_too = false) {
  try {
    http_reply r = game_get(80, "?op=11", to_server());
    if (!r.complete || !parse_game_list(r.body, list)) return false;
    if (!finished_too) return true;
    std::vector<listed_game> finished;
    r = game_get(80, "?op=12", to_server());
    if (!r.complete || !parse_game_list(r.body, &finished)) return false;
    list->insert(list->end(), finished.begin(), finished.end());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

position state_position(const std::string& state_text) {
  position p;
  for (const parserectyp& e : parse_text(state_text, game_file_options)) {
    if (e.key == "turn") p.turn = e.ival;
    if (e.key == "curplr") p.curplr = e.ival;
  }
  return p;
}

// A finished game in the operator's hands: where its state file says it is, and where.
struct operated_game {
  int32_t id = -1;
  position at;
  int32_t status = 2;
  int32_t archived_from = -1;
  bool in_trash = false;
  bool same_place(const operated_game& o) const {
    return at == o.at && status == o.status && in_trash == o.in_trash;
  }
};

std::string describe(const operated_game& g) {
  return "game_" + int_to_str(g.id) + " " + file_name(g.at) + " status " + int_to_str(g.status) +
         (g.in_trash ? " in the trash" : "");
}

// What the operator thread knows; the driver reads it (under `lock`) while the server is down.
struct operator_book {
  std::mutex lock;
  std::vector<operated_game> games;     // as the acknowledged operations left them
  std::optional<operated_game> flying;  // where an operation without an answer would leave one
  std::vector<std::string> snapshots;   // asked for, not yet checked
  std::vector<std::string> problems;
  std::atomic<int> done{0}, cut_off{0};

  void hand_over(int32_t id, position at) {
    std::lock_guard guard(lock);
    games.push_back({id, at});
  }
};

position before(position p) {
  if (--p.curplr < 0) {
    p.curplr = players - 1;
    --p.turn;
  }
  return p;
}

// The operator: every few milliseconds one operation through the admin socket, on a finished
// game chosen at random (one that makes sense in the state the game is in), or a snapshot, or a
// refresh.
void operate(operator_book& ops, const std::string& socket, const std::string& data_dir,
             std::mt19937 random, const std::atomic<bool>& stop) {
  int snapshots = 0;
  while (!stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
    const uint32_t pick = random() % 10;
    std::string line;
    std::optional<operated_game> after;
    if (pick == 0) {
      const std::string dir = data_dir + "/snapshot_" + std::to_string(++snapshots);
      line = "snapshot\t" + dir;
      std::lock_guard guard(ops.lock);
      ops.snapshots.push_back(dir);
    } else if (pick == 1) {
      line = "refresh";
    } else {
      std::lock_guard guard(ops.lock);
      // An operation cut off by a kill is settled by the next check first.
      if (ops.games.empty() || ops.flying) continue;
      operated_game g = ops.games[random() % ops.games.size()];
      const uint32_t choice = random() % 3;
      const std::string id = "\t" + int_to_str(g.id);
      if (g.in_trash) {
        line = "restore" + id;
        g.in_trash = false;
      } else if (choice == 0) {
        line = "remove" + id;
        g.in_trash = true;
      } else if (g.status == 3) {
        line = "unarchive" + id;
        g.status = g.archived_from;
        g.archived_from = -1;
      } else if (choice == 1 || (g.at == position{})) {
        line = "archive" + id;
        g.archived_from = g.status;
        g.status = 3;
      } else {
        line = "revert" + id + "\t" + file_name(g.at);
        if (g.status == 2) {
          g.status = 0;  // the final move undone: same turn and player, in play again
        } else {
          g.at = before(g.at);
        }
      }
      after = g;
      ops.flying = g;
    }
    const std::string reply = admin_request(socket, "text\t" + line);
    std::lock_guard guard(ops.lock);
    if (reply.starts_with("ok\n")) {
      ++ops.done;
      if (after) {
        for (operated_game& g : ops.games) {
          if (g.id == after->id) g = *after;
        }
      }
    } else if (reply.starts_with("refused")) {
      ops.problems.push_back("operator: " + line + ": " + reply.substr(0, reply.find('\n')));
    } else if (!reply.empty()) {
      ++ops.cut_off;  // a game's operation in flight is settled by the next check
      continue;
    }
    // Answered, or the server was down and nothing was asked.
    if (after) ops.flying.reset();
  }
}

// With the server down: every finished game is where the acknowledged operations left it or
// where the one in flight would, and every snapshot made passes zts_check.
void check_operator(const std::string& root, operator_book& ops,
                    std::vector<std::string>* problems) {
  std::lock_guard guard(ops.lock);
  for (std::string& p : ops.problems) problems->push_back(std::move(p));
  ops.problems.clear();
  for (operated_game& g : ops.games) {
    const std::string live = root + "/game_" + int_to_str(g.id);
    const std::string trashed = root + "/.trash/game_" + int_to_str(g.id);
    operated_game now = g;
    now.in_trash = dir_exists(trashed);
    if (now.in_trash == dir_exists(live)) {
      problems->push_back("game_" + int_to_str(g.id) + " is in both places or in neither");
      continue;
    }
    std::string text;
    try {
      text = read_file((now.in_trash ? trashed : live) + "/state.txt");
    } catch (const io_error& e) {
      problems->push_back(e.what());
      continue;
    }
    now.at = state_position(text);
    for (const parserectyp& e : parse_text(text, game_file_options)) {
      if (e.key == "status") now.status = e.ival;
    }
    const bool flying = ops.flying && ops.flying->id == g.id;
    if (flying && now.same_place(*ops.flying)) {
      g = *ops.flying;  // the unanswered operation was done
    } else if (!now.same_place(g)) {
      problems->push_back("operator: " + describe(now) + ", acknowledged " + describe(g) +
                          (flying ? ", in flight " + describe(*ops.flying) : ""));
      g = now;
    }
    if (flying) ops.flying.reset();
  }
  for (const std::string& dir : ops.snapshots) {
    if (!dir_exists(dir)) continue;  // cut off before it was renamed into place
    std::string report;
    if (run_command(build_dir() + "/zts_check " + dir, &report) != 0) {
      problems->push_back("snapshot " + dir + ": zts_check:\n" + report);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);  // checked once; hard links cost little but add up
  }
  ops.snapshots.clear();
}

struct player {
  client_book& book;
  totals& sums;
  operator_book& ops;
  std::mt19937 random;
  int index;
  int games_started = 0;
  int moves = 0;

  void fail(const std::string& what) {
    std::lock_guard guard(book.lock);
    book.problems.push_back("client " + std::to_string(index) + ": " + what);
  }

  // Creates a game, or finds the one whose creation got no answer.
  void find_or_create(size_t max_body) {
    std::string name;
    bool acked;
    {
      std::lock_guard guard(book.lock);
      name = book.name;
      acked = book.create_acked;
    }
    if (!name.empty()) {
      std::vector<listed_game> list;
      if (!listed_games(&list)) return;  // server down: later
      for (const listed_game& g : list) {
        if (g.name != name) continue;
        std::lock_guard guard(book.lock);
        book.id = g.id;
        book.acked = state_position(g.state);
        book.flying.reset();
        if (acked) {
          book.first.id = g.id;
          book.files.push_back(book.first);
        } else {
          ++sums.creates_found_unacked;
        }
        return;
      }
      if (acked) {
        fail("acknowledged game \"" + name + "\" is not listed");
        std::lock_guard guard(book.lock);
        book.create_acked = false;
      }
    }
    name = "crash c" + std::to_string(index) + " g" + std::to_string(++games_started);
    {
      std::lock_guard guard(book.lock);
      book.name = name;
      book.create_acked = false;
    }
    const std::string save =
        move_save(name, "game_0", players, 0, 0, 256 + random() % max_body, random());
    try {
      http_reply r = post_save(80, 8, save, to_server());
      if (!r.complete || r.body.empty()) return;  // cut off by a kill
      if (r.body != ok_create) {
        fail("create refused: " + r.body);
        return;
      }
      ++sums.creates_acked;
      std::lock_guard guard(book.lock);
      book.create_acked = true;
      book.first = {-1, "turn_0_0.zts", save.size(), digest(save)};
    } catch (const std::exception&) {
      // Not listening (killed): the game may or may not exist; the list will tell.
    }
  }

  // Fetches the newest turn, checks it is where the acknowledgements say, and moves.
  void move(size_t max_body) {
    int32_t id;
    {
      std::lock_guard guard(book.lock);
      id = book.id;
    }
    http_reply r;
    try {
      r = game_get(80, "?op=28&fn=game_" + int_to_str(id), to_server());
    } catch (const std::exception&) {
      return;
    }
    if (!r.complete || r.body.empty()) return;
    if (r.body == "ZTXS Game is closed or finished") {
      std::lock_guard guard(book.lock);
      if (book.final_flying) {
        ++sums.moves_found_unacked;  // the unanswered final move reached the disk
        retire();
        return;
      }
    }
    std::string disposition = r.header("Content-Disposition");
    size_t quote = disposition.find('"');
    const std::optional<turn_file_ref> ref =
        quote == std::string::npos
            ? std::nullopt
            : parse_turn_file_name(disposition.substr(quote + 1, disposition.size() - quote - 2));
    if (!ref) {
      fail("op=28 for game_" + int_to_str(id) + " answered " + r.status + " " +
           r.body.substr(0, 80));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return;
    }
    position at;
    at.turn = ref->turn;
    at.curplr = ref->curplr;
    {
      std::lock_guard guard(book.lock);
      if (book.final_flying) {
        // The game is still open: the unanswered final move did not reach the disk.
        book.final_flying.reset();
        book.flying.reset();
      }
      if (book.flying && at == *book.flying) {
        book.acked = at;  // the unanswered move reached the disk before the kill
        ++sums.moves_found_unacked;
      } else if (!(at == book.acked)) {
        book.problems.push_back("client " + std::to_string(index) + ": game_" + int_to_str(id) +
                                " hands out " + file_name(at) + ", expected " +
                                file_name(book.acked));
        book.acked = at;
      }
      book.flying.reset();
    }
    std::string name;
    {
      std::lock_guard guard(book.lock);
      name = book.name;
    }
    const bool final_move = moves >= moves_per_game;
    const std::string save = move_save(name, "game_" + int_to_str(id), players, at.turn, at.curplr,
                                       256 + random() % max_body, random(), final_move);
    // The final move keeps turn and player and replaces the file it downloaded.
    const position next = final_move ? at : after_move(at);
    {
      std::lock_guard guard(book.lock);
      book.flying = next;
      if (final_move) book.final_flying = acked_file{id, file_name(at), save.size(), digest(save)};
    }
    try {
      r = post_save(80, 27, save, to_server());
    } catch (const std::exception&) {
      return;
    }
    if (!r.complete || r.body.empty()) return;
    if (r.body != ok_move) {
      fail("move " + file_name(next) + " of game_" + int_to_str(id) + " refused: " + r.body);
      return;
    }
    ++sums.moves_acked;
    ++moves;
    std::lock_guard guard(book.lock);
    book.acked = next;
    book.flying.reset();
    if (final_move) {
      retire();
      return;
    }
    book.files.push_back({id, file_name(next), save.size(), digest(save)});
  }

  // The game is over: its files are the operator's to change now, so the client stops
  // checking them and hands the game over.
  // REQUIRES: book.lock held.
  void retire() {
    std::erase_if(book.files, [&](const acked_file& f) { return f.id == book.id; });
    ops.hand_over(book.id, book.acked);
    book.final_flying.reset();
    book.flying.reset();
    book.name.clear();
    book.id = -1;
    book.create_acked = false;
    moves = 0;
  }

  void play(const std::atomic<bool>& stop, size_t max_body) {
    while (!stop) {
      bool known;
      {
        std::lock_guard guard(book.lock);
        known = book.id >= 0;
      }
      if (known) {
        move(max_body);
      } else {
        find_or_create(max_body);
      }
      // While the server is down the client retries quickly, like an impatient player.
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 3));
    }
  }
};

// With the server down: everything acknowledged is on disk and each state is a possible one.
void check_books(const std::string& root, std::vector<client_book>& books,
                 std::vector<std::string>* problems) {
  for (client_book& book : books) {
    std::lock_guard guard(book.lock);
    for (std::string& p : book.problems) problems->push_back(std::move(p));
    book.problems.clear();
    for (const acked_file& f : book.files) {
      const std::string path = turn_file_path(root, f.id, f.file);
      std::string bytes;
      try {
        bytes = read_file(path);
      } catch (const io_error&) {
        problems->push_back("acknowledged " + path + " is missing");
        continue;
      }
      const bool final_landed =
          book.final_flying && book.final_flying->id == f.id && book.final_flying->file == f.file &&
          bytes.size() == book.final_flying->size && digest(bytes) == book.final_flying->hash;
      if (!final_landed && (bytes.size() != f.size || digest(bytes) != f.hash)) {
        problems->push_back("acknowledged " + path + " changed (" + std::to_string(bytes.size()) +
                            " bytes, was " + std::to_string(f.size) + ")");
      }
    }
    if (book.id < 0) continue;
    const std::string state = root + "/game_" + int_to_str(book.id) + "/state.txt";
    std::string text;
    try {
      text = read_file(state);
    } catch (const io_error&) {
      problems->push_back(state + " is missing");
      continue;
    }
    position now = state_position(text);
    if (!(now == book.acked) && !(book.flying && now == *book.flying)) {
      problems->push_back(state + " is at " + file_name(now) + ", acknowledged " +
                          file_name(book.acked));
    }
  }
}

std::string tail_from(const std::string& path, size_t offset) {
  try {
    std::string text = read_file(path);
    return offset < text.size() ? text.substr(offset) : std::string();
  } catch (const io_error&) {
    return {};
  }
}

size_t file_size_or_zero(const std::string& path) {
  std::error_code ec;
  auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<size_t>(size);
}

// After a restart: the load logged no error, both lists answer, acknowledged games are listed.
void check_restart(const std::string& log_text, std::vector<client_book>& books,
                   std::vector<std::string>* problems) {
  for (const std::string& line : error_lines(log_text)) problems->push_back("log: " + line);
  // Taken before the list: a game acknowledged after the list was read need not be in it.
  std::vector<std::string> acked_names;
  for (client_book& book : books) {
    std::lock_guard guard(book.lock);
    if (book.create_acked) acked_names.push_back(book.name);
  }
  std::vector<listed_game> list;
  if (!listed_games(&list, true)) {
    problems->push_back("op=11 or op=12 does not answer with a game list");
    return;
  }
  try {
    if (!game_get(80, "?op=666", to_server()).body.starts_with("parseResult(")) {
      problems->push_back("op=666 does not answer with the JSONP list");
    }
  } catch (const std::exception& e) {
    problems->push_back(std::string("op=666: ") + e.what());
  }
  for (const std::string& name : acked_names) {
    bool found = false;
    for (const listed_game& g : list) found = found || g.name == name;
    if (!found) problems->push_back("acknowledged game \"" + name + "\" is not listed");
  }
}

bool parse_args(int argc, char** argv, run_options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i];
    long value = std::strtol(argv[i + 1], nullptr, 10);
    if (key == "--kills") {
      o->kills = static_cast<int>(value);
    } else if (key == "--clients") {
      o->clients = static_cast<int>(value);
    } else if (key == "--seed") {
      o->seed = static_cast<uint32_t>(value);
    } else if (key == "--max-body") {
      o->max_body = static_cast<size_t>(value);
    } else if (key == "--max-run-ms") {
      o->max_run_ms = static_cast<int>(value);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && o->kills > 0 && o->clients > 0 && o->max_body > 0 && o->max_run_ms > 0;
}

}  // namespace

int main(int argc, char** argv) {
  run_options options;
  options.seed = static_cast<uint32_t>(std::random_device{}());
  if (!parse_args(argc, argv, &options)) {
    std::cerr << "usage: zts_crashplay [--kills N] [--clients N] [--seed N] [--max-body BYTES] "
                 "[--max-run-ms MS]\n";
    return 2;
  }
  std::string why;
  if (!isolate_process(&why)) {
    std::cout << "skipped: cannot isolate the run (" << why << ")\n";
    return exit_skipped;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const std::string binary = build_dir() + "/zts_server";
  const std::string checker = build_dir() + "/zts_check";
  temp_dir dir;
  const std::string root = dir.file("game_server");
  const std::string log = dir.file("zts.log");
  std::cout << "seed " << options.seed << ", " << options.kills << " kills, " << options.clients
            << " clients, data in " << dir.path << std::endl;

  std::mt19937 random(options.seed);
  std::vector<client_book> books(static_cast<size_t>(options.clients));
  totals sums;
  std::atomic<bool> stop{false};
  operator_book ops;
  std::vector<std::thread> clients;
  for (int i = 0; i < options.clients; ++i) {
    clients.emplace_back([&, i, seed = random()] {
      player p{books[static_cast<size_t>(i)], sums, ops, std::mt19937(seed), i};
      p.play(stop, options.max_body);
    });
  }
  clients.emplace_back([&, seed = random()] {
    operate(ops, dir.file("admin.sock"), dir.path, std::mt19937(seed), stop);
  });

  std::vector<std::string> problems;
  int startup_kills = 0, leftovers_seen = 0;
  size_t reported = 0;  // problems printed so far
  child_server server;
  const auto started = std::chrono::steady_clock::now();
  for (int kill = 1; kill <= options.kills; ++kill) {
    const size_t log_offset = file_size_or_zero(log);
    start_server_process(&server, binary, dir.path);
    const bool during_startup = random() % 10 == 0;
    if (during_startup) {
      ++startup_kills;
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
    } else {
      if (!wait_until_serving(serving_timeout_ms)) {
        problems.push_back("kill " + std::to_string(kill) + ": server did not start serving");
      } else {
        check_restart(tail_from(log, log_offset), books, &problems);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % options.max_run_ms));
    }
    int status = stop_server_process(&server, SIGKILL);
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) {
      problems.push_back("kill " + std::to_string(kill) + ": the server had already ended (" +
                         std::to_string(status) + ")");
    }
    std::string report;
    if (run_command(checker + " " + dir.path, &report) != 0) {
      problems.push_back("kill " + std::to_string(kill) + ": zts_check:\n" + report);
    }
    size_t mark = report.rfind(" leftover temporaries");
    size_t start = report.rfind(", ", mark);
    if (mark != std::string::npos && start != std::string::npos) {
      leftovers_seen = str_to_int(report.substr(start + 2, mark - start - 2));
    }
    check_books(root, books, &problems);
    check_operator(root, ops, &problems);
    for (; reported < problems.size(); ++reported) {
      std::cout << "VIOLATION " << problems[reported] << std::endl;
    }
    if (kill % 20 == 0) {
      std::cout << "kill " << kill << ": " << sums.moves_acked << " moves acknowledged, "
                << problems.size() << " problems" << std::endl;
    }
  }
  // One more start, to check the state the last kill left.
  const size_t log_offset = file_size_or_zero(log);
  start_server_process(&server, binary, dir.path);
  if (!wait_until_serving(serving_timeout_ms)) {
    problems.push_back("final start: server did not start serving");
  } else {
    check_restart(tail_from(log, log_offset), books, &problems);
  }
  stop = true;
  for (std::thread& t : clients) t.join();
  const int status = stop_server_process(&server, SIGTERM);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    problems.push_back("the server did not stop with status 0: " + std::to_string(status));
  }
  check_books(root, books, &problems);
  check_operator(root, ops, &problems);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  for (; reported < problems.size(); ++reported) {
    std::cout << "VIOLATION " << problems[reported] << "\n";
  }
  std::cout << "kills " << options.kills << " (" << startup_kills << " during start-up) in "
            << static_cast<int>(seconds) << " s; creates acknowledged " << sums.creates_acked
            << " (+" << sums.creates_found_unacked << " unanswered but stored); moves acknowledged "
            << sums.moves_acked << " (+" << sums.moves_found_unacked
            << " unanswered but stored); admin operations acknowledged " << ops.done << " (+"
            << ops.cut_off << " cut off) on " << ops.games.size()
            << " finished games; leftover temporaries " << leftovers_seen << "; violations "
            << problems.size() << std::endl;
  return problems.empty() ? 0 : 1;
}
