#include "ops/lists.h"

#include <bit>

#include "db/game.h"
#include "db/game_files.h"
#include "lib/conv.h"
#include "lib/cp1251.h"
#include "lib/json.h"

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
  text("server_id", "game_" + int_to_str(k), "\",\n");
  text("bgcolor", background_color(g), "\",\n");
  text("turn", json_text(turn_text(g)), "\",\n");
  out->append("   \"status\":").append(int_to_str(g.status)).append(",\n");
  text("curplr", json_text(entry_or_empty(g.teams, g.curplr)), "\",\n");
  text("winner", json_text(entry_or_empty(g.teams, g.winner)), "\",\n");
  text("curplr_color", "#" + json_text(entry_or_empty(g.colors, g.curplr)), "\",\n");
  text("winner_color", "#" + json_text(entry_or_empty(g.colors, g.winner)), "\"\n");
  out->append("  },\n");
}

bool has_status(int32_t k, int32_t status) REQUIRES(db_lock) {
  return k >= 0 && static_cast<size_t>(k) < games.size() && games[k] && games[k]->status == status;
}

}  // namespace

std::string get_all_info(bool open) {
  std::string body =
      "ZTXS\n" + int_to_str(open ? count_open_games() : count_finished_games()) + "\n";
  body.reserve(std::bit_ceil(games.size() * 320));
  for (size_t k = games.size(); k-- > 0;) {
    if (games[k] && listed(*games[k], open)) body += "game_" + int_to_str(k) + "\n";
  }
  for (size_t k = games.size(); k-- > 0;) {
    if (games[k] && listed(*games[k], open)) body += game_block(*games[k]);
  }
  return body;
}

shared_text plain_list_reply(bool open) {
  static reply_cache open_games;
  static reply_cache finished_games;
  return cached_reply(open ? &open_games : &finished_games,
                      [open]() REQUIRES(db_lock) { return frame_op(op_page(get_all_info(open))); });
}

shared_text jsonp_list_reply() {
  static reply_cache cache;
  return cached_reply(&cache,
                      []() REQUIRES(db_lock) { return frame_op(op_page_utf8(games_jsonp())); });
}

std::string games_jsonp() {
  std::string out = "parseResult({\n \"games\" : [\n";
  out.reserve(std::bit_ceil(games.size() * 256));
  for (int32_t status : {1, 0, 2, 3}) {
    for (size_t k = games.size(); k-- > 0;) {
      const auto id = static_cast<int32_t>(k);
      if (has_status(id, status)) append_jsonp_entry(id, *games[k], &out);
    }
  }
  out.append("  {}\n ]\n})");
  return out;
}
