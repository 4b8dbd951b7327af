// zts_load: a load generator for the real server on loopback. Every request is a new connection,
// as the game clients make them.
//
//   zts_load --mix --clients 200 --seconds 60 --pid <server pid> --dir <server dir> --run 1
//     Each client plays a game of its own (op=8, then op=28 and op=27 turn after turn; a later
//     run goes on with the games of an earlier one) and mixes in op=11, op=666, op=777 and the
//     status pages. Prints requests/s, p50/p99 latency and
//     errors per operation, the server's resident memory at start, peak and end, and then checks
//     that every accepted turn is on disk and in its game's state.txt.
//   zts_load --mix ... --rate 2000
//     The same, paced: the clients together offer 2,000 requests a second, each at its own
//     steady interval, as players do who think between moves, instead of each going on the
//     moment it has its reply. Latency then counts from when a request was due.
//   zts_load --mix ... --churn 8
//     The same, but a client finishes its game after 8 accepted moves (its opponent leaves) and
//     creates a new one, so the number of games keeps growing, as when many short games are
//     played (bench/churn.sh). With --churn-games N, after N such new games in all the clients
//     play on the games they have, so the game count stops growing and the traffic goes on.
//   zts_load --mix ... --lists-and-moves
//     The same, but a client only plays turns (a quarter of its picks) and reads op=11: the
//     traffic that waits when the game list is held up (bench/snapshot_load.sh).
//   zts_load --get <target> --expect <body> --port <p> --clients 200 --seconds 10
//     Every client repeats one GET; the same generator against another server gives an anchor.
//   zts_load --slow 500 --seconds 75 --clients 8
//     Holds 500 connections that send nothing or one byte a second while a few clients keep
//     making requests; prints the clients' latency before and during, and when the server
//     closed each slow connection.
//
// Clients are spread over source addresses 127.0.0.2, 127.0.0.3, ... so that no address comes
// near the server's per-address connection limit. Exit status 0 only when there was no error.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/save_writer.h"

namespace {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One address carries at most this many of our clients: well under the server's 64.
constexpr int clients_per_addr = 25;
// A reply slower than this counts as an error: a healthy server answers in milliseconds.
constexpr int request_timeout_ms = 30000;
// Size of the game world carried by each save: enough to make the writes real, small enough
// that building the saves does not take the server's CPU away.
constexpr size_t save_body_bytes = 4096;
// The slow connections' addresses start here, apart from the normal clients'.
constexpr int slow_first_addr = 100;
constexpr int slow_per_addr = 50;

struct options {
  std::string mode;  // "mix", "get" or "slow"
  std::string host = "127.0.0.1";
  uint16_t port = 80;
  int clients = 200;
  int seconds = 60;
  int pid = 0;
  std::string dir;
  int run = 1;
  std::string target;
  std::string expect;
  int slow = 500;
  int churn = 0;  // moves after which a client finishes its game and starts a new one; 0: never
  int churn_games = 0;  // with churn: games begun that way in all, after which clients play on
  bool lists_and_moves = false;  // --mix reading op=11 alone besides its turns
  double rate = 0;  // requests a second offered by all clients together; 0: each goes on
                    // the moment it has its reply
};

std::string source_addr(int index, int per_addr, int first) {
  return "127.0.0." + std::to_string(first + index / per_addr);
}

// Latencies in microseconds and errors of one kind of request.
struct op_stats {
  std::vector<uint32_t> micros;
  int64_t errors = 0;
  std::string first_error;

  void add(steady::time_point began) {
    micros.push_back(static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - began).count()));
  }
  void fail(const std::string& why) {
    if (errors++ == 0) first_error = why;
  }
  void merge(const op_stats& other) {
    micros.insert(micros.end(), other.micros.begin(), other.micros.end());
    if (errors == 0 && other.errors > 0) first_error = other.first_error;
    errors += other.errors;
  }
};

double percentile_ms(std::vector<uint32_t> v, double p) {
  if (v.empty()) return 0;
  size_t at = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(at), v.end());
  return v[at] / 1000.0;
}

void print_row(const std::string& name, const op_stats& s, double seconds) {
  std::printf("| %-8s | %8zu | %8.1f | %7.2f | %8.2f | %6lld |\n", name.c_str(), s.micros.size(),
              static_cast<double>(s.micros.size()) / seconds, percentile_ms(s.micros, 0.5),
              percentile_ms(s.micros, 0.99), static_cast<long long>(s.errors));
  if (s.errors > 0) std::printf("  first error of %s: %s\n", name.c_str(), s.first_error.c_str());
}

void print_table_head() {
  std::printf("| request  | count    | req/s    | p50 ms  | p99 ms   | errors |\n");
  std::printf("|----------|----------|----------|---------|----------|--------|\n");
}

// Resident memory of the server process in KiB (0 when it cannot be read).
long rss_kib(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// CPU seconds (user and system) the server process has used so far.
double cpu_seconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  // After the command name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Samples the server's memory while a run lasts and keeps the highest reading.
struct rss_watch {
  explicit rss_watch(int p) : pid(p), start(rss_kib(p)), peak(start) {
    if (pid > 0) sampler = std::thread([this] { sample(); });
  }
  ~rss_watch() { finish(); }
  void finish() {
    done = true;
    if (sampler.joinable()) sampler.join();
  }
  void sample() {
    while (!done) {
      peak = std::max(peak.load(), rss_kib(pid));
      std::this_thread::sleep_for(100ms);
    }
  }
  int pid;
  long start;
  std::atomic<long> peak;
  std::atomic<bool> done{false};
  std::thread sampler;
};

// ---------------------------------------------------------------------------------------------
// The mixed run.

enum op_kind { k_create, k_submit, k_turn, k_list, k_jsonp, k_ping, k_games, k_all, k_count };
const char* const op_names[k_count] = {"op=8",   "op=27",  "op=28",  "op=11",
                                       "op=666", "op=777", "mode=0", "mode=1"};

// An upload the server answered "Ok" (or "OK" for the first): where it must be and what it was.
struct accepted_turn {
  std::string file;
  size_t size;
  size_t hash;
};

struct game_client_state {
  int index = 0;
  int games_started = 0;  // with --churn: games this client has created so far
  std::string name;
  std::string addr;
  int32_t game = -1;  // the server's slot, found in the JSONP list after creating
  int32_t turn = 0, curplr = 0;
  steady::time_point next_start;  // with --rate: when this client's next request is due
  bool in_sync = true;            // false after a refused or lost submission: stop playing
  std::vector<accepted_turn> accepted;
  op_stats ops[k_count];
};

std::string lastfile_of(int32_t turn, int32_t curplr) {
  return "turn_" + std::to_string(turn) + "_" + std::to_string(curplr) + ".zts";
}

// A world body of printable bytes that differs from client to client.
std::string world_body(int seed) {
  std::mt19937 gen(static_cast<uint32_t>(seed));
  std::string body(save_body_bytes, ' ');
  for (char& c : body) c = static_cast<char>('a' + gen() % 26);
  return body;
}

struct mixed_run {
  const options& opt;
  steady::time_point deadline;
  std::atomic<int> churn_created{0};  // games begun by finishing another, all clients together

  client_options conn(const game_client_state& c) const {
    client_options o;
    o.host = opt.host;
    o.source_ip = c.addr;
    o.timeout_ms = request_timeout_ms;
    return o;
  }

  // Sends one request and checks the reply with `check` (which returns "" when it is right).
  bool request(game_client_state& c, op_kind kind, const std::string& bytes,
               const std::function<std::string(const http_reply&)>& check,
               http_reply* out = nullptr) {
    auto began = steady::now();
    if (opt.rate > 0) {
      // Paced: the latency counts from when the request was due, so that a server falling
      // behind shows it in full (the wait of the requests it delayed included).
      std::this_thread::sleep_until(c.next_start);
      began = c.next_start;
      c.next_start += std::chrono::duration_cast<steady::duration>(
          std::chrono::duration<double>(opt.clients / opt.rate));
    }
    http_reply r;
    try {
      r = http_exchange(opt.port, bytes, conn(c));
    } catch (const std::exception& e) {
      c.ops[kind].fail(e.what());
      return false;
    }
    c.ops[kind].add(began);
    std::string why;
    if (!r.complete) {
      why = "no complete reply in time";
    } else if (r.status != "200 OK") {
      why = "status \"" + r.status + "\"";
    } else {
      why = check(r);
    }
    if (!why.empty()) {
      c.ops[kind].fail(why);
      return false;
    }
    if (out != nullptr) *out = std::move(r);
    return true;
  }

  static std::string get(const std::string& target) {
    return "GET " + target + " HTTP/1.0\r\n\r\n";
  }

  save_recipe recipe_for(const game_client_state& c) const {
    save_recipe s = sample_save_recipe(2);
    s.game.name = c.name;
    s.game.moratorium = 0;
    // A save made now: an old one would let the server close the game as stale.
    s.game.save_time = static_cast<int32_t>(time(nullptr));
    s.body = world_body(c.index * 7919 + opt.run);
    return s;
  }

  // The newest turn of the client's game, as op=28 hands it out: its file name tells whose
  // move it is. Lets a later run go on with the games of an earlier one.
  bool resume(game_client_state& c) {
    http_reply r;
    const std::string target = "/gameserver_v2.php?op=28&fn=game_" + std::to_string(c.game);
    if (!request(
            c, k_turn, get(target), [](const http_reply&) { return ""; }, &r))
      return false;
    const std::string disposition = r.header("Content-Disposition");
    int turn = -1, curplr = -1;
    if (std::sscanf(disposition.c_str(), "attachment; filename=\"turn_%d_%d.zts\"", &turn,
                    &curplr) != 2) {
      c.ops[k_turn].fail("op=28 gave \"" + disposition + "\"");
      return false;
    }
    c.turn = turn;
    c.curplr = curplr;
    c.accepted.push_back(
        {lastfile_of(turn, curplr), r.body.size(), std::hash<std::string>{}(r.body)});
    return true;
  }

  // The reply to op=8 does not carry the new game's id: a client finds its game in the list by
  // name. Returns the id, or -1.
  int32_t find_in_list(game_client_state& c) {
    http_reply list;
    if (!request(c, k_jsonp, get("/gameserver_v2.php?op=666"), check_jsonp, &list)) return -1;
    const std::string key = "\"name\":\"" + c.name + "\",\n   \"server_id\":\"game_";
    size_t at = list.body.find(key);
    return at == std::string::npos ? -1 : std::stoi(list.body.substr(at + key.size()));
  }

  // Goes on with the client's game when an earlier run made it, else creates it.
  bool create_or_resume(game_client_state& c) {
    c.game = find_in_list(c);
    if (c.game >= 0) return resume(c);
    return create(c);
  }

  bool create(game_client_state& c) {
    std::string save = write_save(recipe_for(c));
    bool ok = request(c, k_create, upload_request("/gameserver_v2.php?op=8", save),
                      [](const http_reply& r) {
                        return r.body == "ZTXS\n00\nOK\n" ? "" : "create refused: " + r.body;
                      });
    if (!ok) return false;
    c.accepted.push_back({"turn_0_0.zts", save.size(), std::hash<std::string>{}(save)});
    c.game = find_in_list(c);
    if (c.game < 0) {
      c.ops[k_jsonp].fail("the new game \"" + c.name + "\" is not in the list");
      return false;
    }
    return true;
  }

  static std::string check_jsonp(const http_reply& r) {
    return r.body.rfind("parseResult({", 0) == 0 && r.body.ends_with("})") ? "" : "bad JSONP";
  }

  // op=28 must hand out exactly the newest accepted upload; op=27 then adds the next move.
  void play_turn(game_client_state& c) {
    const accepted_turn newest = c.accepted.back();
    const std::string fn = "game_" + std::to_string(c.game);
    bool ok = request(
        c, k_turn, get("/gameserver_v2.php?op=28&fn=" + fn),
        [&](const http_reply& r) -> std::string {
          if (r.header("Content-Disposition") != "attachment; filename=\"" + newest.file + "\"") {
            return "op=28 gave " + r.header("Content-Disposition") + " for " + newest.file;
          }
          if (r.body.size() != newest.size || std::hash<std::string>{}(r.body) != newest.hash) {
            return "op=28 gave other bytes than the last upload " + newest.file;
          }
          return "";
        });
    if (!ok) return;
    save_recipe s = recipe_for(c);
    s.game.server_id = fn;
    s.game.turn = c.turn;
    s.game.curplr = c.curplr;
    const std::string save = write_save(s);
    ok = request(c, k_submit, upload_request("/gameserver_v2.php?op=27", save),
                 [](const http_reply& r) {
                   return r.body == "ZTXS\n00\nOk\n" ? "" : "submit refused: " + r.body;
                 });
    if (!ok) {
      c.in_sync = false;  // we no longer know whose move it is
      return;
    }
    if (opt.churn > 0 && c.accepted.size() >= static_cast<size_t>(opt.churn) &&
        (opt.churn_games == 0 || churn_created.fetch_add(1) < opt.churn_games)) {
      finish_and_start_another(c);
      return;
    }
    if (++c.curplr == 2) {
      c.curplr = 0;
      ++c.turn;
    }
    c.accepted.push_back(
        {lastfile_of(c.turn, c.curplr), save.size(), std::hash<std::string>{}(save)});
  }

  // The player to move wins: the other one leaves, the game is finished (status 2) and drops
  // out of the open list. Then a new game under a new name.
  void finish_and_start_another(game_client_state& c) {
    if (++c.curplr == 2) {
      c.curplr = 0;
      ++c.turn;
    }
    save_recipe s = recipe_for(c);
    s.game.server_id = "game_" + std::to_string(c.game);
    s.game.turn = c.turn;
    s.game.curplr = c.curplr;
    s.game.plrs[1 - c.curplr].out_flag = true;
    const bool ok = request(c, k_submit, upload_request("/gameserver_v2.php?op=27", write_save(s)),
                            [](const http_reply& r) {
                              return r.body == "ZTXS\n00\nOk\n" ? "" : "finish refused: " + r.body;
                            });
    c.accepted.clear();
    c.turn = c.curplr = 0;
    c.name = "load c" + std::to_string(c.index) + " g" + std::to_string(++c.games_started);
    if (!ok || !create(c)) c.in_sync = false;
  }

  void run_client(game_client_state& c) {
    std::mt19937 gen(static_cast<uint32_t>(c.index * 31 + opt.run));
    if (!create_or_resume(c)) c.in_sync = false;
    // Weights: a quarter of the picks play a turn (two requests), the rest read.
    const op_kind picks[] = {k_submit, k_submit, k_submit, k_submit, k_submit, k_list, k_list,
                             k_list,   k_jsonp,  k_jsonp,  k_jsonp,  k_ping,   k_ping, k_ping,
                             k_ping,   k_ping,   k_games,  k_games,  k_all,    k_all};
    const op_kind lists_and_moves[] = {k_submit, k_list, k_list, k_list};
    while (steady::now() < deadline) {
      const op_kind pick = opt.lists_and_moves ? lists_and_moves[gen() % std::size(lists_and_moves)]
                                               : picks[gen() % std::size(picks)];
      switch (pick) {
        case k_submit:
          if (c.in_sync) play_turn(c);
          break;
        case k_list:
          request(c, k_list, get("/gameserver_v2.php?op=11"), [](const http_reply& r) {
            return r.body.rfind("ZTXS\n", 0) == 0 ? "" : "bad list";
          });
          break;
        case k_jsonp:
          request(c, k_jsonp, get("/gameserver_v2.php?op=666"), check_jsonp);
          break;
        case k_games:
          request(c, k_games, get("/ztsv_log.php?mode=0"), check_page);
          break;
        case k_all:
          request(c, k_all, get("/ztsv_log.php?mode=1"), check_page);
          break;
        default:
          request(c, k_ping, get("/gameserver_v2.php?op=777"), [](const http_reply& r) {
            return r.body == "ZTNS" ? "" : "op=777 gave \"" + r.body + "\"";
          });
      }
    }
  }

  static std::string check_page(const http_reply& r) {
    return r.body.find("</html>") != std::string::npos ||
                   r.body.find("</HTML>") != std::string::npos
               ? ""
               : "page without its end";
  }
};

std::string read_whole(const std::string& path, bool* found) {
  std::ifstream in(path, std::ios::binary);
  *found = static_cast<bool>(in);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The value of `key:` in state.txt's lines.
std::string state_value(const std::string& text, const std::string& key) {
  size_t at = text.find(key + ":");
  if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) return "<missing>";
  at += key.size() + 1;
  return text.substr(at, text.find('\n', at) - at);
}

// Every accepted upload is in its turn file byte for byte, and state.txt names the newest.
int64_t verify_on_disk(const std::vector<game_client_state>& clients, const std::string& dir,
                       int64_t* files_checked) {
  int64_t faults = 0;
  auto fault = [&](const std::string& why) {
    if (faults++ < 10) std::printf("  FAULT: %s\n", why.c_str());
  };
  for (const game_client_state& c : clients) {
    if (c.game < 0) continue;
    const std::string game_dir = dir + "/game_server/game_" + std::to_string(c.game);
    for (const accepted_turn& t : c.accepted) {
      bool found = false;
      std::string bytes = read_whole(game_dir + "/turns/" + t.file, &found);
      ++*files_checked;
      if (!found) {
        fault(game_dir + "/turns/" + t.file + " is missing");
      } else if (bytes.size() != t.size || std::hash<std::string>{}(bytes) != t.hash) {
        fault(game_dir + "/turns/" + t.file + " differs from the accepted upload");
      }
    }
    if (!c.in_sync) continue;  // a failed submission was already counted as an error
    bool found = false;
    std::string state = read_whole(game_dir + "/state.txt", &found);
    if (state_value(state, "turn") != std::to_string(c.turn) ||
        state_value(state, "curplr") != std::to_string(c.curplr) ||
        state_value(state, "lastfile") != c.accepted.back().file) {
      fault(game_dir + "/state.txt does not name " + c.accepted.back().file + ":\n" + state);
    }
  }
  return faults;
}

int run_mixed(const options& opt) {
  std::vector<game_client_state> clients(static_cast<size_t>(opt.clients));
  for (int i = 0; i < opt.clients; ++i) {
    game_client_state& c = clients[static_cast<size_t>(i)];
    c.index = i;
    c.name = "load c" + std::to_string(i);
    c.addr = source_addr(i, clients_per_addr, 2);
  }
  rss_watch rss(opt.pid);
  const double cpu_before = opt.pid > 0 ? cpu_seconds(opt.pid) : 0;
  mixed_run run{opt, steady::now() + std::chrono::seconds(opt.seconds)};
  auto began = steady::now();
  for (game_client_state& c : clients) {
    // Paced clients start spread over one interval, not all at once.
    c.next_start =
        began + std::chrono::duration_cast<steady::duration>(
                    std::chrono::duration<double>(opt.rate > 0 ? c.index / opt.rate : 0));
  }
  std::vector<std::thread> threads;
  for (game_client_state& c : clients) threads.emplace_back([&run, &c] { run.run_client(c); });
  for (std::thread& t : threads) t.join();
  double seconds = std::chrono::duration<double>(steady::now() - began).count();
  rss.finish();
  std::this_thread::sleep_for(2s);  // let the connection threads wind down
  long rss_after = rss_kib(opt.pid);

  std::printf("\nRun %d: %d clients, %.1f s\n\n", opt.run, opt.clients, seconds);
  print_table_head();
  op_stats total;
  int64_t errors = 0;
  for (int k = 0; k < k_count; ++k) {
    op_stats merged;
    for (const game_client_state& c : clients) merged.merge(c.ops[k]);
    print_row(op_names[k], merged, seconds);
    total.merge(merged);
    errors += merged.errors;
  }
  print_row("all", total, seconds);
  if (opt.pid > 0) {
    std::printf("\nserver RSS: start %ld KiB, peak %ld KiB, after %ld KiB; server CPU %.1f s\n",
                rss.start, rss.peak.load(), rss_after, cpu_seconds(opt.pid) - cpu_before);
  }
  int64_t faults = 0;
  if (!opt.dir.empty()) {
    int64_t files = 0;
    faults = verify_on_disk(clients, opt.dir, &files);
    std::printf("on disk: %lld accepted uploads checked, %lld faults\n",
                static_cast<long long>(files), static_cast<long long>(faults));
  }
  return errors == 0 && faults == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// One GET repeated by every client (the anchor run).

int run_get(const options& opt) {
  std::vector<op_stats> stats(static_cast<size_t>(opt.clients));
  auto deadline = steady::now() + std::chrono::seconds(opt.seconds);
  auto began = steady::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < opt.clients; ++i) {
    threads.emplace_back([&, i] {
      client_options o;
      o.host = opt.host;
      o.source_ip = source_addr(i, clients_per_addr, 2);
      o.timeout_ms = request_timeout_ms;
      op_stats& s = stats[static_cast<size_t>(i)];
      const std::string request = "GET " + opt.target + " HTTP/1.0\r\n\r\n";
      while (steady::now() < deadline) {
        auto t0 = steady::now();
        try {
          http_reply r = http_exchange(opt.port, request, o);
          s.add(t0);
          if (!r.complete || r.body != opt.expect) s.fail("reply \"" + r.raw + "\"");
        } catch (const std::exception& e) {
          s.fail(e.what());
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  double seconds = std::chrono::duration<double>(steady::now() - began).count();
  op_stats total;
  for (const op_stats& s : stats) total.merge(s);
  std::printf("\nGET %s on port %u: %d clients, %.1f s\n\n", opt.target.c_str(), opt.port,
              opt.clients, seconds);
  print_table_head();
  print_row("GET", total, seconds);
  return total.errors == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// Slow and silent connections.

struct slow_conn {
  client_socket sock;
  bool trickles = false;
  steady::time_point opened;
  double closed_after_s = -1;  // when the server closed it, from its opening
  bool got_reply = false;
};

// Normal clients: op=777 and op=11 in turn, from their own addresses, until `stop`.
void normal_clients(const options& opt, std::atomic<bool>* stop, std::vector<op_stats>* stats) {
  std::vector<std::thread> threads;
  for (int i = 0; i < opt.clients; ++i) {
    threads.emplace_back([&, i] {
      client_options o;
      o.host = opt.host;
      o.source_ip = source_addr(i, clients_per_addr, 2);
      o.timeout_ms = request_timeout_ms;
      op_stats& s = (*stats)[static_cast<size_t>(i)];
      for (int n = 0; !*stop; ++n) {
        const char* target = n % 2 == 0 ? "/gameserver_v2.php?op=777" : "/gameserver_v2.php?op=11";
        auto t0 = steady::now();
        try {
          http_reply r =
              http_exchange(opt.port, "GET " + std::string(target) + " HTTP/1.0\r\n\r\n", o);
          s.add(t0);
          if (!r.complete || r.status != "200 OK") s.fail(std::string("no reply to ") + target);
        } catch (const std::exception& e) {
          s.fail(e.what());
        }
        std::this_thread::sleep_for(20ms);
      }
    });
  }
  for (std::thread& t : threads) t.join();
}

op_stats merged(const std::vector<op_stats>& stats) {
  op_stats all;
  for (const op_stats& s : stats) all.merge(s);
  return all;
}

int run_slow(const options& opt) {
  std::atomic<bool> stop{false};
  // The normal clients' latency on their own, for comparison.
  std::vector<op_stats> before(static_cast<size_t>(opt.clients));
  std::thread baseline([&] { normal_clients(opt, &stop, &before); });
  std::this_thread::sleep_for(10s);
  stop = true;
  baseline.join();

  std::vector<slow_conn> slow(static_cast<size_t>(opt.slow));
  const std::string head = "GET /gameserver_v2.php?op=777 HTTP/1.0\r\nX-Slow: ";
  for (int i = 0; i < opt.slow; ++i) {
    slow_conn& s = slow[static_cast<size_t>(i)];
    client_options o;
    o.host = opt.host;
    o.source_ip = source_addr(i, slow_per_addr, slow_first_addr);
    s.sock = connect_to(opt.port, o);
    s.trickles = i % 2 == 1;
    s.opened = steady::now();
    if (s.trickles) send_bytes(s.sock, head.substr(0, 1));
  }
  std::printf("\n%d slow connections open (half silent, half one byte a second)\n", opt.slow);

  stop = false;
  const auto beside_began = steady::now();
  std::vector<op_stats> during(static_cast<size_t>(opt.clients));
  std::thread load([&] { normal_clients(opt, &stop, &during); });

  // Trickles a byte a second into the open trickling connections and notes every close.
  auto deadline = steady::now() + std::chrono::seconds(opt.seconds);
  int open = opt.slow;
  size_t sent = 1;
  auto next_byte = steady::now() + 1s;
  while (open > 0 && steady::now() < deadline) {
    std::vector<pollfd> fds;
    std::vector<slow_conn*> owners;
    for (slow_conn& s : slow) {
      if (s.closed_after_s >= 0) continue;
      fds.push_back({s.sock.fd, POLLIN, 0});
      owners.push_back(&s);
    }
    poll(fds.data(), fds.size(), 200);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      slow_conn& s = *owners[i];
      char buf[4096];
      ssize_t n = recv(s.sock.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        s.got_reply = true;
        continue;
      }
      s.closed_after_s = std::chrono::duration<double>(steady::now() - s.opened).count();
      --open;
    }
    if (steady::now() >= next_byte) {
      next_byte += 1s;
      char byte = sent < head.size() ? head[sent] : 'a';
      ++sent;
      for (slow_conn& s : slow) {
        if (s.trickles && s.closed_after_s < 0) send(s.sock.fd, &byte, 1, MSG_NOSIGNAL);
      }
    }
  }
  stop = true;
  load.join();
  const double beside_s = std::chrono::duration<double>(steady::now() - beside_began).count();

  op_stats base = merged(before), with = merged(during);
  std::printf("\nnormal clients (%d, op=777 and op=11), alone and while the slow ones held:\n\n",
              opt.clients);
  print_table_head();
  print_row("alone", base, 10);
  print_row("beside", with, beside_s);
  std::printf("\np50 ratio beside/alone %.2f, p99 ratio %.2f\n",
              percentile_ms(with.micros, 0.5) / std::max(0.001, percentile_ms(base.micros, 0.5)),
              percentile_ms(with.micros, 0.99) / std::max(0.001, percentile_ms(base.micros, 0.99)));

  int still_open = 0;
  for (bool trickles : {false, true}) {
    std::vector<double> times;
    int replies = 0;
    for (const slow_conn& s : slow) {
      if (s.trickles != trickles) continue;
      if (s.closed_after_s < 0) {
        ++still_open;
      } else {
        times.push_back(s.closed_after_s);
      }
      replies += s.got_reply;
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "%s: %zu closed by the server, after %.1f s (first) / %.1f s (median) / %.1f s "
        "(last), %d with a reply\n",
        trickles ? "trickling" : "silent", times.size(), times.empty() ? 0 : times.front(),
        times.empty() ? 0 : times[times.size() / 2], times.empty() ? 0 : times.back(), replies);
  }
  std::printf("still open after %d s: %d\n", opt.seconds, still_open);
  return base.errors == 0 && with.errors == 0 && still_open == 0 ? 0 : 1;
}

options parse_args(int argc, char** argv) {
  options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--mix") {
      opt.mode = "mix";
    } else if (a == "--get") {
      opt.mode = "get";
      opt.target = next();
    } else if (a == "--slow") {
      opt.mode = "slow";
      opt.slow = std::stoi(next());
    } else if (a == "--expect") {
      opt.expect = next();
    } else if (a == "--host") {
      opt.host = next();
    } else if (a == "--port") {
      opt.port = static_cast<uint16_t>(std::stoi(next()));
    } else if (a == "--clients") {
      opt.clients = std::stoi(next());
    } else if (a == "--seconds") {
      opt.seconds = std::stoi(next());
    } else if (a == "--pid") {
      opt.pid = std::stoi(next());
    } else if (a == "--dir") {
      opt.dir = next();
    } else if (a == "--churn") {
      opt.churn = std::stoi(next());
    } else if (a == "--churn-games") {
      opt.churn_games = std::stoi(next());
    } else if (a == "--lists-and-moves") {
      opt.lists_and_moves = true;
    } else if (a == "--rate") {
      opt.rate = std::stod(next());
    } else if (a == "--run") {
      opt.run = std::stoi(next());
    } else {
      throw std::runtime_error("unknown argument " + a);
    }
  }
  if (opt.mode.empty()) throw std::runtime_error("one of --mix, --get or --slow is needed");
  return opt;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    options opt = parse_args(argc, argv);
    if (opt.mode == "mix") return run_mixed(opt);
    if (opt.mode == "get") return run_get(opt);
    return run_slow(opt);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zts_load: %s\n", e.what());
    return 2;
  }
}
