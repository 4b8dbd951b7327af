#include "ops/lists.h"

#include "db/game.h"
#include "db/game_files.h"
#include "lib/conv.h"
#include "lib/cp1251.h"
#include "lib/json.h"
#include "net/reply.h"

namespace {

bool listed(const game_info& g, bool open) { return open ? g.status < 2 : g.status == 2; }

// Entry `i` of a per-player list, or "" when the record's list does not reach it.
const std::string& entry_or_empty(const astr& list, int32_t i) {
  static const std::string none;
  return i >= 0 && static_cast<size_t>(i) < list.size() ? list[i] : none;
}

std::string json_text(std::string_view cp1251) { return json_escape(cp1251_to_utf8(cp1251)); }

std::string background_color(const game_info& g) {
  if (g.status == 3) return "#000011";
  if (g.status == 2) return "#221100";
  if (g.status == 1 || g.turn == 0) return "#666600";
  return "#662200";
}

// Windows-1251 text, like the names: "Выс." (the game has not started) and "Мор." (second
// round of the opening phase).
std::string turn_text(const game_info& g) {
  if (g.status == 1 && g.turn == 1) return "\xCC\xEE\xF0.";
  if (g.turn == 0) return "\xC2\xFB\xF1.";
  return int_to_str(g.turn);
}

}  // namespace

std::string get_all_info(bool open) {
  std::string body = "ZTXS\n" + int_to_str(open ? count_open_games() : count_finished_games()) + "\n";
  for (size_t k = games.size(); k-- > 0;) {
    if (games[k] && listed(*games[k], open)) body += "game_" + int_to_str(k) + "\n";
  }
  for (size_t k = games.size(); k-- > 0;) {
    if (games[k] && listed(*games[k], open)) body += game_block(*games[k]);
  }
  return html_reply("200 OK", body);
}

std::string game_jsonp_entry(int32_t k, int32_t status) {
  if (k < 0 || static_cast<size_t>(k) >= games.size() || !games[k] || games[k]->status != status)
    return "";
  const game_info& g = *games[k];
  std::string e = "  {\n";
  e += "   \"name\":\"" + json_text(g.name) + "\",\n";
  e += "   \"server_id\":\"game_" + int_to_str(k) + "\",\n";
  e += "   \"bgcolor\":\"" + background_color(g) + "\",\n";
  e += "   \"turn\":\"" + json_text(turn_text(g)) + "\",\n";
  e += "   \"status\":" + int_to_str(g.status) + ",\n";
  e += "   \"curplr\":\"" + json_text(entry_or_empty(g.teams, g.curplr)) + "\",\n";
  e += "   \"winner\":\"" + json_text(entry_or_empty(g.teams, g.winner)) + "\",\n";
  e += "   \"curplr_color\":\"#" + json_text(entry_or_empty(g.colors, g.curplr)) + "\",\n";
  e += "   \"winner_color\":\"#" + json_text(entry_or_empty(g.colors, g.winner)) + "\"\n";
  e += "  },\n";
  return e;
}

std::string games_jsonp() {
  std::string out = "parseResult({\n \"games\" : [\n";
  for (int32_t status : {1, 0, 2, 3}) {
    for (size_t k = games.size(); k-- > 0;) out += game_jsonp_entry(static_cast<int32_t>(k), status);
  }
  return out + "  {}\n ]\n})";
}
