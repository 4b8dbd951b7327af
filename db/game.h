// The game record, the process-wide game list and the lock that guards them. Where a game lives
// on disk is db/layout.h.
// The admin operations add admin.txt and aside/ (db/game_files.h, db/aside.h); a removed
// game's directory sits in game_server/.trash/.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/layout.h"
#include "lib/mutex.h"

using astr = std::vector<std::string>;
using aoboolean = std::vector<bool>;

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
  int32_t curplr = 0;          // index of the player whose move is awaited
  int32_t status = 0;          // 0 in play, 1 opening phase, 2 closed/finished, 3 archived
  double last_turn_age = 0.0;  // seconds, set by the refresh; not stored on disk
  std::string lastfile;        // newest save, a file name inside turns/
  int32_t winner = 0;
  aoboolean plr_states;  // true while the player is in the game
  // From admin.txt, which only the admin operations write (db/game_files.h):
  int32_t archived_from = -1;  // the status an operator archived the game from; -1 none
  int32_t unarchived_at = 0;   // server_clock of the operator's last unarchive; 0 never

  bool operator==(const game_info&) const = default;
};

// The one lock over `games`, every record in it and every game directory. Held by the refresh
// pass, by each game operation and by each status page, never while a socket is read or written.
extern annotated_mutex db_lock;

// Slot i holds game i or is empty. Records are never removed while the process runs.
extern std::vector<std::unique_ptr<game_info>> games GUARDED_BY(db_lock);

// Makes a zeroed record with id == slot and stores it in games[slot]. Needs games.size() > slot.
game_info& new_game_info(int32_t slot) REQUIRES(db_lock);

// Number of non-empty slots with status < 2 / with status == 2.
int32_t count_open_games() REQUIRES(db_lock);
int32_t count_finished_games() REQUIRES(db_lock);
