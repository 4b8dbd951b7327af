// Damaged games: a cond.txt that lacks a key the server always writes, or a state.txt that is
// missing or lacks one (a file cut short, a bad hand edit). Read as it stands, such a game would
// take defaults for what is missing (no money, every rule off) and the next move would write
// them over the real settings for good. Instead it is rebuilt from its newest stored save that
// reads: a save carries the settings and the players, and its file name the turn and player it
// led to. A game no stored save can rebuild is held: listed, but every move and download fails
// with the reason in the log, until an operator repairs it (zts_admin repair).
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "db/game.h"
#include "lib/parser.h"

// The keys the server writes to every cond.txt and state.txt (db/game_files.h).
inline constexpr std::array<std::string_view, 9> cond_keys = {
    "map", "plr_cnt", "teams", "colors", "money", "resource", "moratorium", "uniset", "rules"};
inline constexpr std::array<std::string_view, 6> state_keys = {"turn",     "curplr", "status",
                                                               "lastfile", "winner", "plr_states"};

// What a game's cond.txt and state.txt lack.
struct text_damage {
  std::vector<std::string> cond_lacks;   // keys cond.txt lacks
  bool state_missing = false;            // no state.txt
  std::vector<std::string> state_lacks;  // keys state.txt lacks (empty when it is missing)

  bool any() const { return !cond_lacks.empty() || state_missing || !state_lacks.empty(); }
  bool state_whole() const { return !state_missing && state_lacks.empty(); }
  // One line naming each damaged file under `dir` (the game's directory) and what it lacks:
  // "<dir>/cond.txt: lacks money, rules; <dir>/state.txt: missing". "" when nothing is.
  std::string describe(const std::string& dir) const;
};

// The damage of the parsed cond.txt and state.txt entries; `state_exists` tells a missing
// state.txt from an empty one.
text_damage find_text_damage(const preca& cond, const preca& state, bool state_exists);

// The damage of root/game_<id>'s files as they are on disk (none when there is no cond.txt: the
// directory holds no game). Throws io_error when a file exists but cannot be read.
text_damage read_text_damage(const std::string& root, int32_t id);

// The record of game `current.id` rebuilt from its newest stored save in root/game_<id>/turns/
// that reads and belongs to the game (by turn and player in the file name; state.txt's lastfile
// first when `state_whole`): the settings and players as the save has them, turn, player,
// status and winner as the move that stored it left them, lastfile that file. Name,
// description and the operators' notes come from `current`, and so does the state when
// `state_whole` and state.txt names that very file (it may say finished or archived, which no
// save carries). False with *why (every save tried, and why it failed) when none can.
bool rebuild_from_saves(const std::string& root, const game_info& current, bool state_whole,
                        game_info* rebuilt, std::string* save_name, std::string* why);

// The loader's step for a damaged game (`record` was read from disk, `damage` is what its files
// lack): rebuilds it, writes it with save_game_files and logs it (log_rebuilt), then *record is
// the rebuilt one; or, when no save can, sets record->damage to the reason it is held and
// returns false. Throws io_error when the files cannot be written (the record is then unchanged).
// REQUIRES: nobody else uses the game (start-up).
bool repair_game(const std::string& root, const text_damage& damage, game_info* record);

// The one "UPD" line of a rebuilt game: its id, the save it came from, and what was missing.
void log_rebuilt(const std::string& root, int32_t id, const std::string& save_name,
                 const text_damage& damage);

// Thrown by a move or download of a held game; what() is one log line's text:
// "<op> game <id>: <path>: <cause>".
struct game_held : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws game_held when `record` is held; `op` names the operation for the log.
void refuse_if_held(const game_info& record, std::string_view op);
