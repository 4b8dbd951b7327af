// The game record, the process-wide game list and the lock that guards them. Where a game lives
// on disk is db/layout.h.
// The admin operations add admin.txt and aside/ (db/game_files.h, db/aside.h); a removed
// game's directory sits in game_server/.trash/.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/layout.h"
#include "lib/mutex.h"

using astr = std::vector<std::string>;
using aoboolean = std::vector<bool>;

// A game's status as state.txt stores it. The record keeps the number as read (a damaged file may
// hold any), so it stays an int32_t compared against these names.
enum game_status : int32_t {
  status_playing = 0,   // in play
  status_opening = 1,   // the opening phase: no attacks yet
  status_finished = 2,  // closed: won, or finished by the hourly pass
  status_archived = 3,  // archived by the hourly pass or an operator
};

// The status as a word, as the JSON API and the admin tool show it: "in_play", "opening",
// "finished", "archived", or "status_<n>" for a number outside them.
std::string status_word(int32_t status);

// One game. Strings are Windows-1251 byte strings.
struct game_info {
  int32_t id = 0;
  std::string name;  // "plr_plr" marks a quick game (shorter archiving limits)
  std::string descr;
  std::string map;
  int32_t plr_cnt = 0;
  astr teams;   // one team name per player
  astr colors;  // one "RRGGBB" (upper-case hex) per player
  int32_t money = 0;
  int32_t resource = 0;
  int32_t moratorium = 0;  // length of the opening phase; > 0 at creation means status 1
  std::string uniset;
  std::array<uint8_t, 16> rules{};  // 1 true, 0 false
  int32_t turn = 0;
  int32_t curplr = 0;               // index of the player whose move is awaited
  int32_t status = status_playing;  // a game_status
  double last_turn_age = 0.0;       // seconds, set by the refresh; not stored on disk
  std::string lastfile;             // newest save, a file name inside turns/
  int32_t winner = 0;
  aoboolean plr_states;  // true while the player is in the game
  // From admin.txt, which only the admin operations write (db/game_files.h):
  int32_t archived_from = -1;  // the status an operator archived the game from; -1 none
  int32_t unarchived_at = 0;   // server_clock of the operator's last unarchive; 0 never
  // Not stored: why the game is held ("<path>: <cause>", db/repair.h), "" when it is not. A held
  // game's record is what its damaged files gave; nothing writes it until it is repaired.
  std::string damage;

  bool operator==(const game_info&) const = default;
};

// Locks, taken in this order (a thread never takes an earlier one while holding a later one):
//   1. the lock of one game, game_lock(id), never two at once: that game's moves, downloads,
//      refresh and creation, across its disk writes and syncs;
//   2. the lock of one served-from-memory list (db/reply_cache.h) or of the JSON API's copy
//      (api/games_api.h), while it is rebuilt;
//   3. db_lock, always briefly and never across a disk sync: `games` and every record in it;
//   4. leaf locks that take nothing else (the game lock table, the save stamps, bug.txt, the
//      count of creations using game_server/.new, the kept turn times (db/turn_times.h), the
//      log).
// A record is changed only by a holder of its game lock, which works on a copy and puts it back
// whole under db_lock (publish_game), so a reader holding db_lock sees each game before or after
// a change, never half of one. The loader, which runs before any other thread, is the exception.
extern annotated_mutex db_lock;

// Slot i holds game i or is empty. Records are never removed while the process runs; a slot
// stays empty while its game is being created.
extern std::vector<std::unique_ptr<game_info>> games GUARDED_BY(db_lock);

// Makes a zeroed record with id == slot and stores it in games[slot]. Needs games.size() > slot.
game_info& new_game_info(int32_t slot) REQUIRES(db_lock);

// Number of non-empty slots still being played (playing or opening) / finished.
int32_t count_open_games() REQUIRES(db_lock);
int32_t count_finished_games() REQUIRES(db_lock);

// The lock of game `id` (id >= 0), made on first use and kept for the life of the process, so
// the reference stays good whatever happens to `games`.
annotated_mutex& game_lock(int32_t id) EXCLUDES(db_lock);

// A copy of the record in slot `id`, or nothing when the slot is out of range or empty. Taken
// under db_lock; hold game_lock(id) for the copy to stay the game's current record.
std::optional<game_info> copy_game(int32_t id) EXCLUDES(db_lock);

// Puts `record` into slot record.id as one step under db_lock (a reserved empty slot gets a new
// record) and moves the game data generation on. Does nothing when the
// slot is outside the list (the list was emptied meanwhile). Hold game_lock(record.id).
void publish_game(const game_info& record) EXCLUDES(db_lock);

// For the service manager's watchdog: true when db_lock and then the lock of every game were
// each free at some moment before `bound` ran out. A game lock is held across that game's disk
// syncs (milliseconds), so only a stuck disk or a lock never released makes this false.
bool game_locks_free_within(std::chrono::milliseconds bound) EXCLUDES(db_lock);
