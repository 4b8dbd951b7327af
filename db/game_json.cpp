#include "db/game_json.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "db/layout.h"
#include "lib/conv.h"
#include "lib/json.h"

namespace {

std::string index_or_null(bool applies, int32_t index, int32_t count) {
  return applies && index >= 0 && index < count ? int_to_str(index) : "null";
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

}  // namespace

game_summary summary_of(const game_info& g) {
  return {g.id,     g.name,    g.descr, g.status, g.turn,       g.curplr,
          g.winner, g.plr_cnt, g.teams, g.colors, g.plr_states, g.lastfile};
}

void append_game_json(const game_summary& g, const game_json_extras& extras, std::string* out) {
  const turn_figures* figures = extras.figures;
  const std::optional<int64_t>& last_move = extras.last_move;
  const auto players =
      static_cast<int32_t>(std::min({static_cast<size_t>(std::max(g.plr_cnt, 0)), g.teams.size(),
                                     g.colors.size(), g.plr_states.size()}));
  out->append("{\"id\":").append(int_to_str(g.id));
  out->append(",\"name\":").append(json_game_text(g.name));
  out->append(",\"description\":").append(json_game_text(g.descr));
  out->append(",\"status\":\"").append(status_word(g.status));
  out->append("\",\"status_code\":").append(int_to_str(g.status));
  out->append(",\"turn\":").append(int_to_str(g.turn));
  out->append(",\"players\":[");
  for (int32_t i = 0; i < players; ++i) {
    if (i > 0) out->push_back(',');
    std::string player = json_player(g.teams[i], "#" + g.colors[i], g.plr_states[i]);
    if (figures) {
      player.pop_back();  // the turn times go inside the player's object
      const auto k = static_cast<size_t>(i);
      append_turn_times(k < figures->players.size() ? figures->players[k] : player_turn_times{},
                        &player);
      player.push_back('}');
    }
    out->append(player);
  }
  const std::string to_move = index_or_null(g.status != status_finished, g.curplr, players);
  out->append("],\"to_move\":").append(to_move);
  out->append(",\"winner\":").append(index_or_null(g.status == status_finished, g.winner, players));
  out->append(",\"last_move\":").append(last_move ? "\"" + iso_time(*last_move) + "\"" : "null");
  // The newest save handed the turn to the player on turn: they have had it since it was stored.
  const bool on_turn =
      (g.status == status_playing || g.status == status_opening) && to_move != "null" && last_move;
  out->append(",\"on_turn_since\":").append(on_turn ? "\"" + iso_time(*last_move) + "\"" : "null");
  if (figures) {
    out->append(",\"turns_per_day\":{\"last_7_days\":")
        .append(rate_text(figures->per_day_last_7_days));
    out->append(",\"overall\":").append(rate_text(figures->per_day_overall)).append("}");
  }
  if (!extras.public_url.empty()) {
    out->append(",\"url\":")
        .append(json_game_text(std::string(extras.public_url) + "/api/games/" + int_to_str(g.id)));
  }
}

std::optional<int64_t> newest_save_time(std::string_view root, int32_t id,
                                        const std::string& lastfile) {
  struct stat st {};
  if (lastfile.empty()) return std::nullopt;
  const std::string path = turn_file_path(root, id, lastfile);
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return st.st_mtim.tv_sec;
}
