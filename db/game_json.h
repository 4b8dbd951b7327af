// One game as a JSON object, the same wherever a game is shown as JSON: the JSON API's <game>
// (api/games_api.h documents its members, for bots and the players' page) and the admin
// socket's "game", which appends members only operators see.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db/game.h"
#include "db/turn_times.h"

// What a game's JSON object shows of its record (texts in Windows-1251, as the record holds
// them): a copy light enough for the JSON API to keep one of every game.
struct game_summary {
  int32_t id = 0;
  std::string name, descr;
  int32_t status = 0, turn = 0, curplr = 0, winner = 0, plr_cnt = 0;
  astr teams, colors;
  aoboolean plr_states;
  std::string lastfile;  // the newest save, a file name inside turns/
};

game_summary summary_of(const game_info& g);

// What the record does not hold.
struct game_json_extras {
  std::optional<int64_t> last_move;       // when the newest save was stored (seconds), if known
  const turn_figures* figures = nullptr;  // one game's: each player's turn times, the pace
  std::string_view public_url;            // no trailing "/"; "" leaves the "url" out
};

// Appends the game's JSON object without its closing brace, so that a reply can add members of
// its own before closing it.
void append_game_json(const game_summary& g, const game_json_extras& extras, std::string* out);

// When the newest save `lastfile` of game `id` under `root` was stored (its modification time,
// seconds since the epoch); nothing when `lastfile` is empty or not a regular file. One stat.
std::optional<int64_t> newest_save_time(std::string_view root, int32_t id,
                                        const std::string& lastfile);
