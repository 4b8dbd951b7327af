#include "ops/lists.h"

#include <iterator>

#include "db/game.h"
#include "db/game_files.h"
#include "db/layout.h"
#include "lib/conv.h"
#include "lib/cp1251.h"
#include "lib/json.h"
#include "net/reply.h"

namespace {

bool listed(const game_info& g, bool open) {
  return open ? g.status < status_finished : g.status == status_finished;
}

// Entry `i` of a per-player list, or "" when the record's list does not reach it.
const std::string& entry_or_empty(const astr& list, int32_t i) {
  static const std::string none;
  return i >= 0 && static_cast<size_t>(i) < list.size() ? list[i] : none;
}

std::string json_text(std::string_view cp1251) {
  return json_escape(cp1251_to_utf8(cp1251));
}

std::string background_color(const game_info& g) {
  if (g.status == status_archived) return "#000011";
  if (g.status == status_finished) return "#221100";
  if (g.status == status_opening || g.turn == 0) return "#666600";
  return "#662200";
}

// Windows-1251 text, like the names: "Выс." (the game has not started) and "Мор." (second
// round of the opening phase).
std::string turn_text(const game_info& g) {
  if (g.status == status_opening && g.turn == 1) return "\xCC\xEE\xF0.";
  if (g.turn == 0) return "\xC2\xFB\xF1.";
  return int_to_str(g.turn);
}

// Appends the JSONP object of `g`, the game at index `k`, to *out: the whole list is built in
// one buffer, without a temporary per game.
void append_jsonp_entry(int32_t k, const game_info& g, std::string* out) {
  auto text = [out](std::string_view key, const std::string& value, std::string_view end) {
    out->append("   \"").append(key).append("\":\"").append(value).append(end);
  };
  out->append("  {\n");
  text("name", json_text(g.name), "\",\n");
  text("server_id", game_dir_name(k), "\",\n");
  text("bgcolor", background_color(g), "\",\n");
  text("turn", json_text(turn_text(g)), "\",\n");
  out->append("   \"status\":").append(int_to_str(g.status)).append(",\n");
  text("curplr", json_text(entry_or_empty(g.teams, g.curplr)), "\",\n");
  text("winner", json_text(entry_or_empty(g.teams, g.winner)), "\",\n");
  text("curplr_color", "#" + json_text(entry_or_empty(g.colors, g.curplr)), "\",\n");
  text("winner_color", "#" + json_text(entry_or_empty(g.colors, g.winner)), "\"\n");
  out->append("  },\n");
}

constexpr int32_t jsonp_order[] = {status_opening, status_playing, status_finished,
                                   status_archived};

// Section 0: the names of the listed games; section 1: their blocks.
list_shape plain_list_shape(bool open) {
  list_shape shape;
  shape.sections = 2;
  shape.entry = [open](size_t s, const game_info& g, std::string* out) {
    if (!listed(g, open)) return;
    if (s == 0) {
      out->append(game_dir_name(g.id)).append("\n");
    } else {
      out->append(game_block(g));
    }
  };
  shape.body_head = [open]() REQUIRES(db_lock) {
    return "ZTXS\n" + int_to_str(open ? count_open_games() : count_finished_games()) + "\n";
  };
  shape.http_head = [](size_t size) { return reply_head("200 OK", html_type, size); };
  return shape;
}

// One section per status, in the order the page shows them.
list_shape jsonp_shape() {
  list_shape shape;
  shape.sections = std::size(jsonp_order);
  shape.entry = [](size_t s, const game_info& g, std::string* out) {
    if (g.status == jsonp_order[s]) append_jsonp_entry(g.id, g, out);
  };
  shape.body_head = [] { return std::string("parseResult({\n \"games\" : [\n"); };
  shape.body_tail = "  {}\n ]\n})";
  shape.http_head = [](size_t size) { return reply_head("200 OK", html_type_utf8, size); };
  return shape;
}

}  // namespace

std::string get_all_info(bool open) {
  return whole_list_body(plain_list_shape(open));
}

shared_reply plain_list_reply(bool open) {
  static kept_list open_games;
  static kept_list finished_games;
  static const list_shape open_shape = plain_list_shape(true);
  static const list_shape finished_shape = plain_list_shape(false);
  return open ? kept_list_reply(&open_games, open_shape)
              : kept_list_reply(&finished_games, finished_shape);
}

shared_reply jsonp_list_reply() {
  static kept_list cache;
  static const list_shape shape = jsonp_shape();
  return kept_list_reply(&cache, shape);
}

std::string games_jsonp() {
  return whole_list_body(jsonp_shape());
}
