#include "api/games_api.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "api/list_query.h"
#include "db/game.h"
#include "db/generation.h"
#include "db/layout.h"
#include "db/turn_times.h"
#include "lib/conv.h"
#include "lib/cp1251.h"
#include "lib/json.h"
#include "lib/mutex.h"
#include "net/reply.h"

namespace {

constexpr std::string_view list_path = "/api/games";
constexpr std::string_view game_path_prefix = "/api/games/";
// Longest id text looked up; games are numbered well below a billion.
constexpr size_t max_id_digits = 9;

// What the JSON shows of one record, copied under db_lock.
struct game_row {
  int32_t id = 0;
  std::string name, descr;
  int32_t status = 0, turn = 0, curplr = 0, winner = 0, plr_cnt = 0;
  astr teams, colors;
  aoboolean plr_states;
  std::string lastfile;
  std::string folded_name;  // the name in UTF-8 as list queries match it (api/list_query.h)

  // Changes whenever a move or a refresh changes what lies in the game's turns directory or
  // which file is the newest (a game's last move rewrites the file its last mover fetched, and
  // ends it).
  std::string files_key() const {
    return lastfile + "|" + int_to_str(status) + "|" + int_to_str(turn) + "|" + int_to_str(curplr);
  }
};

struct turn_file {
  std::string file;
  int32_t turn = 0, player = 0;
  bool opening = false;  // a "set_" file of the opening phase (op=29 cannot fetch it)
  int64_t size = 0;
  int64_t mtime = 0;
};

// A body with its ETag, valid while the generation is `generation` (and, for one game, while
// its turn times are those of `times_epoch` and the time is before `valid_until_ms`).
struct cached_body {
  uint64_t generation = 0;
  uint64_t times_epoch = 0;
  int64_t valid_until_ms = INT64_MAX;
  std::string body, etag;
};

// A turns directory as last read, valid while its game's files_key is `key`.
struct cached_turns {
  std::string key;
  std::vector<turn_file> turns;
};

// When the newest save was stored, valid while its game's files_key is `key`.
struct cached_last_move {
  std::string key;
  std::optional<int64_t> time;
};

// Held while a body is looked up or rebuilt: API requests wait for one rebuild instead of each
// making its own. db_lock is taken inside it only to copy the records, never across I/O.
annotated_mutex api_mutex;

struct api_cache {
  std::string public_url;        // the one the bodies were built with
  uint64_t rows_generation = 0;  // when `rows` was copied
  std::vector<game_row> rows;    // every game of status 0 to 3, by id
  status_counts by_status{};
  cached_body list;
  // Each row's <game> object in the list, rendered on first use for `rows_generation`, so that a
  // page of the list renders only its own games.
  std::vector<std::string> entries;
  std::vector<bool> rendered;
  std::map<int32_t, cached_body> games;
  std::map<int32_t, cached_turns> turns;
  std::map<int32_t, cached_last_move> last_moves;
};

// Never destroyed: a connection thread cut off by a stop may still be reading it at exit.
api_cache& cache() REQUIRES(api_mutex) {
  static api_cache* c = new api_cache;
  return *c;
}

game_row copy_row(const game_info& g) REQUIRES(db_lock) {
  return {g.id,      g.name,  g.descr,  g.status,     g.turn,     g.curplr, g.winner,
          g.plr_cnt, g.teams, g.colors, g.plr_states, g.lastfile, ""};
}

bool listed(const game_info& g) {
  return g.status >= status_playing && g.status <= status_archived;
}

// Brings the copy of the records up to the current generation.
void refresh_rows(api_cache& c) REQUIRES(api_mutex) EXCLUDES(db_lock) {
  if (c.rows_generation == games_generation()) return;
  std::vector<game_row> rows;
  status_counts counts{};
  uint64_t generation;
  {
    const int64_t wait_start = steady_ns();
    mutex_lock lock(db_lock);
    observe_lock_wait(lock_waiter::api, seconds_since_ns(wait_start));
    // Read under the lock: every bump happens under it, so this copy is exactly this generation.
    generation = games_generation();
    rows.reserve(games.size());
    for (const auto& g : games) {
      if (!g || !listed(*g)) continue;
      rows.push_back(copy_row(*g));
      ++counts[g->status];
    }
  }
  for (game_row& row : rows) row.folded_name = fold_case(cp1251_to_utf8(row.name));
  c.rows = std::move(rows);
  c.by_status = counts;
  c.rows_generation = generation;
  c.entries.assign(c.rows.size(), std::string());
  c.rendered.assign(c.rows.size(), false);
}

const game_row* find_row(const api_cache& c, int32_t id) {
  auto it = std::lower_bound(c.rows.begin(), c.rows.end(), id,
                             [](const game_row& r, int32_t want) { return r.id < want; });
  return it != c.rows.end() && it->id == id ? &*it : nullptr;
}

// The stored saves of game `id` in the order of play. Reads the directory without any lock: a
// move landing meanwhile changes the generation, so the next request reads it again.
std::vector<turn_file> read_turns(int32_t id) {
  std::vector<turn_file> out;
  const std::string dir = turns_dir(game_root, id);
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return out;
  while (dirent* e = readdir(d.get())) {
    const std::optional<turn_file_ref> ref = parse_turn_file_name(e->d_name);
    if (!ref) continue;
    turn_file t{e->d_name, ref->turn, ref->curplr, ref->opening};
    struct stat st {};
    if (stat((dir + "/" + t.file).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    t.size = st.st_size;
    t.mtime = st.st_mtim.tv_sec;
    out.push_back(std::move(t));
  }
  std::sort(out.begin(), out.end(), [](const turn_file& a, const turn_file& b) {
    if (a.turn != b.turn) return a.turn < b.turn;
    if (a.opening != b.opening) return a.opening;
    return a.player < b.player;
  });
  return out;
}

// The turns of `row`, read again only when its game's files changed.
const std::vector<turn_file>& turns_of(api_cache& c, const game_row& row) REQUIRES(api_mutex)
    EXCLUDES(db_lock) {
  cached_turns& t = c.turns[row.id];
  std::string key = row.files_key();
  if (t.key != key) {
    t.turns = read_turns(row.id);
    t.key = std::move(key);
  }
  return t.turns;
}

std::optional<int64_t> last_move_time(const std::vector<turn_file>& turns,
                                      const std::string& lastfile) {
  for (const turn_file& t : turns) {
    if (t.file == lastfile) return t.mtime;
  }
  return std::nullopt;
}

// The time the newest save of `row` was stored: one stat, again only when its game changed.
std::optional<int64_t> last_move_of(api_cache& c, const game_row& row) REQUIRES(api_mutex)
    EXCLUDES(db_lock) {
  cached_last_move& m = c.last_moves[row.id];
  std::string key = row.files_key();
  if (m.key != key) {
    struct stat st {};
    std::string path = turn_file_path(game_root, row.id, row.lastfile);
    m.time = !row.lastfile.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)
                 ? std::optional<int64_t>(st.st_mtim.tv_sec)
                 : std::nullopt;
    m.key = std::move(key);
  }
  return m.time;
}

std::string index_or_null(bool applies, int32_t index, int32_t count) {
  return applies && index >= 0 && index < count ? int_to_str(index) : "null";
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A rate with at most two decimals and no trailing zeros ("0.14", "2").
std::string rate_text(double per_day) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", per_day);
  std::string out = buf;
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out;
}

void append_turn_times(const player_turn_times& t, std::string* out) {
  out->append(",\"turn_times\":{\"count\":").append(int_to_str(t.count));
  out->append(",\"median\":").append(std::to_string(t.median_s));
  out->append(",\"mean\":").append(std::to_string(t.mean_s));
  out->append(",\"longest\":").append(std::to_string(t.longest_s)).append("}");
}

// The <game> object of `row`, without its closing brace, so that the one-game reply can add
// its turns. `figures` (one game only) adds each player's turn times and the game's pace.
void append_game(const game_row& row, const std::optional<int64_t>& last_move,
                 const std::string& public_url, const turn_figures* figures, std::string* out) {
  const auto players =
      static_cast<int32_t>(std::min({static_cast<size_t>(std::max(row.plr_cnt, 0)),
                                     row.teams.size(), row.colors.size(), row.plr_states.size()}));
  out->append("{\"id\":").append(int_to_str(row.id));
  out->append(",\"name\":").append(json_game_text(row.name));
  out->append(",\"description\":").append(json_game_text(row.descr));
  out->append(",\"status\":\"").append(status_word(row.status));
  out->append("\",\"status_code\":").append(int_to_str(row.status));
  out->append(",\"turn\":").append(int_to_str(row.turn));
  out->append(",\"players\":[");
  for (int32_t i = 0; i < players; ++i) {
    if (i > 0) out->push_back(',');
    std::string player = json_player(row.teams[i], "#" + row.colors[i], row.plr_states[i]);
    if (figures) {
      player.pop_back();  // the turn times go inside the player's object
      const auto k = static_cast<size_t>(i);
      append_turn_times(k < figures->players.size() ? figures->players[k] : player_turn_times{},
                        &player);
      player.push_back('}');
    }
    out->append(player);
  }
  const std::string to_move = index_or_null(row.status != status_finished, row.curplr, players);
  out->append("],\"to_move\":").append(to_move);
  out->append(",\"winner\":")
      .append(index_or_null(row.status == status_finished, row.winner, players));
  out->append(",\"last_move\":").append(last_move ? "\"" + iso_time(*last_move) + "\"" : "null");
  // The newest save handed the turn to the player on turn: they have had it since it was stored.
  const bool on_turn = (row.status == status_playing || row.status == status_opening) &&
                       to_move != "null" && last_move;
  out->append(",\"on_turn_since\":").append(on_turn ? "\"" + iso_time(*last_move) + "\"" : "null");
  if (figures) {
    out->append(",\"turns_per_day\":{\"last_7_days\":")
        .append(rate_text(figures->per_day_last_7_days));
    out->append(",\"overall\":").append(rate_text(figures->per_day_overall)).append("}");
  }
  if (!public_url.empty()) {
    out->append(",\"url\":")
        .append(json_game_text(public_url + "/api/games/" + int_to_str(row.id)));
  }
}

void append_turns(const game_row& row, const std::vector<turn_file>& turns,
                  const std::string& public_url, std::string* out) {
  out->append(",\"turns\":[");
  for (size_t i = 0; i < turns.size(); ++i) {
    const turn_file& t = turns[i];
    if (i > 0) out->push_back(',');
    out->append("{\"file\":").append(json_game_text(t.file));
    out->append(",\"turn\":").append(int_to_str(t.turn));
    out->append(",\"player\":").append(int_to_str(t.player));
    out->append(",\"opening\":").append(t.opening ? "true" : "false");
    out->append(",\"size\":").append(std::to_string(t.size));
    out->append(",\"time\":\"").append(iso_time(t.mtime)).append("\"");
    // Only a finished game's "turn_" files can be fetched (op=29).
    if (!public_url.empty() && !t.opening && row.status == status_finished) {
      out->append(",\"url\":")
          .append(json_game_text(public_url +
                                 "/gameserver_v2.php?op=29&fn=" + game_dir_name(row.id) +
                                 "&tn=" + int_to_str(t.turn) + "&pl=" + int_to_str(t.player)));
    }
    out->push_back('}');
  }
  out->push_back(']');
}

// A hash of the body: the same body always gets the same tag, across restarts too.
std::string etag_of(std::string_view body) {
  return "\"" + fnv1a_hex(body) + "\"";
}

// True when the If-None-Match value names `etag` (weak or strong) or is "*".
bool etag_matches(std::string_view if_none_match, std::string_view etag) {
  while (!if_none_match.empty()) {
    size_t comma = if_none_match.find(',');
    std::string item = trim(if_none_match.substr(0, comma));
    if (item.starts_with("W/")) item.erase(0, 2);
    if (item == etag || item == "*") return true;
    if (comma == std::string_view::npos) break;
    if_none_match.remove_prefix(comma + 1);
  }
  return false;
}

std::vector<std::string> api_headers(const std::string& etag) {
  std::vector<std::string> h = {"Access-Control-Allow-Origin: *", "Cache-Control: no-cache"};
  if (!etag.empty()) {
    h.push_back("Access-Control-Expose-Headers: ETag");
    h.push_back("ETag: " + etag);
  }
  return h;
}

api_reply json_reply(const cached_body& b, std::string_view if_none_match) {
  api_reply r{true, outcome_kind::ok, ""};
  if (!if_none_match.empty() && etag_matches(if_none_match, b.etag)) {
    r.outcome = outcome_kind::not_modified;
    // No body, so no Content-Length or Content-Type either.
    r.bytes = "HTTP/1.0 304 Not Modified\r\nETag: " + b.etag +
              "\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: no-cache\r\n"
              "Connection: close\r\n\r\n";
    return r;
  }
  r.bytes = typed_reply("200 OK", "application/json; charset=utf-8", api_headers(b.etag), b.body);
  return r;
}

api_reply bad_query(const std::string& why) {
  return {true, outcome_kind::refused,
          typed_reply("400 Bad Request", "application/json; charset=utf-8", api_headers(""),
                      "{\"error\":\"" + json_escape(why) + "\"}")};
}

api_reply unknown_game() {
  return {true, outcome_kind::not_found,
          typed_reply("404 Not Found", "application/json; charset=utf-8", api_headers(""),
                      "{\"error\":\"unknown game\"}")};
}

// The <game> object of row `i` of the list, closed, rendered once per generation.
const std::string& entry_of(api_cache& c, size_t i) REQUIRES(api_mutex) EXCLUDES(db_lock) {
  if (!c.rendered[i]) {
    const game_row& row = c.rows[i];
    std::string& out = c.entries[i];
    append_game(row, last_move_of(c, row), c.public_url, nullptr, &out);
    out.push_back('}');
    c.rendered[i] = true;
  }
  return c.entries[i];
}

const cached_body& list_body(api_cache& c) REQUIRES(api_mutex) EXCLUDES(db_lock) {
  refresh_rows(c);
  if (c.list.generation == c.rows_generation) return c.list;
  std::string body = "{\"games\":[";
  for (size_t i = 0; i < c.rows.size(); ++i) {
    if (i > 0) body.push_back(',');
    body.append(entry_of(c, i));
  }
  body.append("]}");
  c.list.etag = etag_of(body);
  c.list.body = std::move(body);
  c.list.generation = c.rows_generation;
  return c.list;
}

// The list as `q` selects it, rendered for this request from the kept entries: only the games
// of the page. With a limit, "next" names the last id of the page when more games follow.
cached_body selected_list_body(api_cache& c, const list_query& q) REQUIRES(api_mutex)
    EXCLUDES(db_lock) {
  refresh_rows(c);
  std::string body = "{\"games\":[";
  auto it = std::upper_bound(c.rows.begin(), c.rows.end(), q.after,
                             [](int32_t after, const game_row& r) { return after < r.id; });
  int32_t taken = 0, last_id = -1;
  bool more = false;
  for (; it != c.rows.end(); ++it) {
    if (!list_query_matches(q, it->status, it->folded_name)) continue;
    if (q.limit && taken == *q.limit) {
      more = true;
      break;
    }
    if (taken++ > 0) body.push_back(',');
    body.append(entry_of(c, static_cast<size_t>(it - c.rows.begin())));
    last_id = it->id;
  }
  body.append("]");
  if (q.limit) {
    body.append(",\"next\":");
    body.append(more ? int_to_str(last_id) : "null");
  }
  body.append("}");
  cached_body b;
  b.etag = etag_of(body);
  b.body = std::move(body);
  return b;
}

// Null when no listed game has this id.
const cached_body* game_body(api_cache& c, int32_t id) REQUIRES(api_mutex) EXCLUDES(db_lock) {
  refresh_rows(c);
  const game_row* row = find_row(c, id);
  if (!row) return nullptr;
  cached_body& b = c.games[id];
  const uint64_t times_epoch = turn_times_epoch(id);
  const int64_t now = now_ms();
  if (b.generation == c.rows_generation && b.times_epoch == times_epoch && now < b.valid_until_ms)
    return &b;
  const std::vector<turn_file>& turns = turns_of(c, *row);
  const turn_figures figures = summarize_turns(turn_history(game_root, id), row->plr_cnt, now);
  std::string body;
  append_game(*row, last_move_time(turns, row->lastfile), c.public_url, &figures, &body);
  append_turns(*row, turns, c.public_url, &body);
  body.push_back('}');
  b.etag = etag_of(body);
  b.body = std::move(body);
  b.generation = c.rows_generation;
  b.times_epoch = times_epoch;
  b.valid_until_ms = figures.changes_at_ms;
  return &b;
}

// The cache, its bodies dropped when they were built with another public URL.
api_cache& cache_for(const std::string& public_url) REQUIRES(api_mutex) {
  api_cache& c = cache();
  if (public_url != c.public_url) {
    c.public_url = public_url;
    c.list.generation = 0;
    c.rows_generation = 0;  // the list's entries carry the links too
    c.games.clear();
  }
  return c;
}

}  // namespace

api_reply serve_api(std::string_view target, std::string_view if_none_match,
                    const std::string& public_url) {
  std::string_view path = target.substr(0, target.find('?'));
  if (path == list_path) {
    list_query q;
    std::string error;
    if (!parse_list_query(target, &q, &error)) return bad_query(error);
    mutex_lock lock(api_mutex);
    api_cache& c = cache_for(public_url);
    if (!q.any) return json_reply(list_body(c), if_none_match);
    return json_reply(selected_list_body(c, q), if_none_match);
  }
  if (!path.starts_with(game_path_prefix)) return {};
  std::string_view id_text = path.substr(game_path_prefix.size());
  if (!is_decimal(id_text, max_id_digits)) return unknown_game();
  mutex_lock lock(api_mutex);
  const cached_body* b = game_body(cache_for(public_url), str_to_int(id_text));
  return b ? json_reply(*b, if_none_match) : unknown_game();
}

status_counts api_games_by_status() {
  mutex_lock lock(api_mutex);
  api_cache& c = cache();
  refresh_rows(c);
  return c.by_status;
}

void clear_api_cache() {
  mutex_lock lock(api_mutex);
  api_cache& c = cache();
  c.rows_generation = 0;
  c.rows.clear();
  c.list = cached_body{};
  c.games.clear();
  c.turns.clear();
  c.last_moves.clear();
  c.entries.clear();
  c.rendered.clear();
  forget_all_turn_times();
}
