// How long the players take over their turns, from the times the server stored the saves.
//
// A game's saves in order of play form its history: turns/turn_<t>_<p>.zts (set_ in the opening
// phase) is the save that handed turn <t> to player <p>, and the save after it in order is the
// one <p> stored. So <p>'s time on that turn is the stored time of the next save minus that of
// the save that handed them the turn. A stored time is the file's modification time, which the
// server set when it wrote the file, never the date inside the save: a client's clock can be
// years off. The newest save handed the turn to the player on turn (while the game is in play).
//
// A game's final move replaces the file its mover downloaded; that file then lies in
// aside/end_save.zts (db/aside.h) with its time, and stands in the history before the final save.
//
// The histories are kept in memory by game: read from a game's turns/ once, on first use (never
// at start), then extended by each move (note_stored_turn) and dropped by any operator's change
// to the game (forget_turn_times), which makes the next use read the files as they are then.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/mutex.h"

// One stored save: the turn and player it handed the move to, and when the server stored it
// (milliseconds since the epoch).
struct stored_turn {
  int32_t turn = 0;
  int32_t player = 0;
  int64_t stored_ms = 0;

  bool operator==(const stored_turn&) const = default;
};

// One player's turns taken and their times, in whole seconds (rounded).
struct player_turn_times {
  int32_t count = 0;
  int64_t median_s = 0;  // of an even count, the mean of the middle two
  int64_t mean_s = 0;
  int64_t longest_s = 0;
};

struct turn_figures {
  // By player index; at least `player_count` entries, more when the history names a higher one.
  std::vector<player_turn_times> players;
  // When the newest save was stored: the player on turn (if any) has been on it since then.
  std::optional<int64_t> newest_ms;
  // Moves (saves after the first) per day: stored within the 7 days up to `now`, over 7; and
  // over the whole history, from the first save to the newest (one day at least).
  double per_day_last_7_days = 0;
  double per_day_overall = 0;
  // The first moment after `now` at which the figures change with no new move (a move leaving
  // the 7-day window); INT64_MAX when none will.
  int64_t changes_at_ms = INT64_MAX;
};

// The figures of `history` (in order of play) as of `now_ms`. A time that runs backwards (the
// server's clock was set back) counts as 0 s.
turn_figures summarize_turns(const std::vector<stored_turn>& history, int32_t player_count,
                             int64_t now_ms);

// The history of game `id` as its files under `root` hold it now (see the top of this file):
// every turn_/set_ save in turns/ in order of play, plus a final move's replaced save. Empty
// when turns/ cannot be read. Reads the disk; takes no lock.
std::vector<stored_turn> read_turn_history(std::string_view root, int32_t id);

// When the server stored the file at `path` (its modification time, in milliseconds since the
// epoch); the current time when it cannot be read.
int64_t file_stored_ms(const std::string& path);

// Guards the kept histories. A leaf lock: nothing else is taken while holding it, and it is
// never held across a disk read (db/game.h gives the order).
extern annotated_mutex turn_times_lock;

// The kept history of game `id`, read from `root` first when not kept. A move or an operator's
// change landing during that read keeps the read from being kept (the next use reads again).
std::vector<stored_turn> turn_history(std::string_view root, int32_t id) EXCLUDES(turn_times_lock);

// A number that changes whenever the kept history of game `id` may have (a move, a forget):
// a reply built from the history is current while this stays the same.
uint64_t turn_times_epoch(int32_t id) EXCLUDES(turn_times_lock);

// Adds the save `added` that a move of game `id` just stored (its file is on disk) and returns
// the milliseconds its mover spent on the turn, or nothing when no earlier save is known. A
// history not kept yet is read from `root`, which already holds `added`.
// REQUIRES: game_lock(id) held, so that moves of one game are noted in their order.
std::optional<int64_t> note_stored_turn(std::string_view root, int32_t id, const stored_turn& added)
    EXCLUDES(turn_times_lock);

// The median seconds `player` of game `id` took over a turn, or nothing before their first turn.
std::optional<int64_t> median_turn_seconds(std::string_view root, int32_t id, int32_t player)
    EXCLUDES(turn_times_lock);

// Drops the kept history of game `id` (its files changed other than by a move) / of every game
// (the list was loaded again).
void forget_turn_times(int32_t id) EXCLUDES(turn_times_lock);
void forget_all_turn_times() EXCLUDES(turn_times_lock);
