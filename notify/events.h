// What there is to announce about a game: the sender compares the state it last announced to a
// target with the game's current state and announces the newest state only, so a player who has
// already moved is never told it is their turn and three quick moves give one message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One game as the sender sees it, copied from the game record (texts Windows-1251).
struct game_view {
  int32_t id = 0;
  std::string name;
  int32_t status = 0;  // 0 in play, 1 opening phase, 2 finished, 3 archived
  int32_t turn = 0;
  int32_t curplr = 0;
  int32_t winner = 0;
  std::vector<std::string> teams;
  std::vector<bool> in_game;

  bool operator==(const game_view&) const = default;
};

// The state last announced to one target about one game (or taken as the starting point
// without a message), kept on disk by notify/state_store.h.
struct announced_state {
  int32_t status = 0;
  int32_t turn = 0;
  int32_t curplr = 0;
  int32_t winner = 0;
  std::string in_game;  // one '1' (in the game) or '0' (out) per player
  uint32_t since = 0;  // server clock when this state was first announced (reminders count from it)
  int32_t reminders = 0;

  // Same game state, whatever the reminder bookkeeping.
  bool same_state(const announced_state& other) const {
    return status == other.status && turn == other.turn && curplr == other.curplr &&
           winner == other.winner && in_game == other.in_game;
  }
  bool operator==(const announced_state&) const = default;
};

enum class event_kind {
  new_game,
  turn,
  player_out,
  finished,
  finished_idle,
  archived,
  reminder,
  test
};

// "new_game", "turn", ... as in the json format's "event".
const char* event_name(event_kind kind);

struct notify_event {
  event_kind kind = event_kind::turn;
  game_view game;
  std::vector<int32_t> out;  // players who left since the last announcement (player_out)
  uint32_t waited_s = 0;     // reminder: how long the turn has waited
  // reminder: the median time the player on turn took over their turns (db/turn_times.h);
  // nothing before their first turn
  std::optional<int64_t> median_s;
  announced_state next;  // what is stored once the message is delivered
  bool silent = false;   // nothing to send: only store `next`
  std::string event_id;  // set by the sender (event_id_for): one id per announcement
};

struct reminder_policy {
  uint32_t after_s = 0;  // 0: off
  uint32_t every_s = 24 * 3600;
  int32_t max = 3;
};

// The current state of `g` as it would be stored, announced at `now`.
announced_state state_of(const game_view& g, uint32_t now);

// The id of `e`, the `seq`-th announcement of a state of its game (see notify/state_store.h's
// announcement counter): the same for every target and across retries and restarts, and new
// when a state is reached again (a revert, an unarchive), so receivers may drop duplicates by
// it. A reminder adds its number: "zts-3-12-0-0-turn-7", "zts-3-12-0-0-reminder-7-1".
std::string event_id_for(const notify_event& e, uint32_t seq);

// The one message due about `g` given the last announced state (nullptr: the game is new to
// this target), or nothing. A new game, a changed turn or mover, a player out, the end of the
// game and archiving each give one event for the newest state; an unchanged state in play
// gives a reminder when one is due by `policy`. Changes nobody needs to hear of (a finished game
// edited further) come back `silent`. The event's id is left to the caller (event_id_for).
std::optional<notify_event> next_event(const game_view& g, const announced_state* last,
                                       uint32_t now, const reminder_policy& policy);

// Team of player k, or "" outside the list.
std::string team_of(const game_view& g, int32_t k);
