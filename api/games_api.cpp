#include "api/games_api.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "api/api_cache.h"
#include "api/list_query.h"
#include "db/game.h"
#include "db/game_json.h"
#include "db/layout.h"
#include "db/turn_times.h"
#include "lib/conv.h"
#include "lib/json.h"
#include "lib/mutex.h"
#include "net/reply.h"

namespace {

constexpr std::string_view list_path = "/api/games";
constexpr std::string_view game_path_prefix = "/api/games/";
// Longest id text looked up; games are numbered well below a billion.
constexpr size_t max_id_digits = 9;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
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
    append_game_json(row, {last_move_of(c, row), nullptr, c.public_url}, &out);
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
  append_game_json(*row, {last_move_time(turns, row->lastfile), &figures, c.public_url}, &body);
  append_turns(*row, turns, c.public_url, &body);
  body.push_back('}');
  b.etag = etag_of(body);
  b.body = std::move(body);
  b.generation = c.rows_generation;
  b.times_epoch = times_epoch;
  b.valid_until_ms = figures.changes_at_ms;
  return &b;
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
