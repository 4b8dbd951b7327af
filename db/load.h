// Loading the game list at start: every game_<id> directory under the root becomes the record
// in slot id of `games`. The saves in turns/ are not read here.
#pragma once

#include <cstdint>
#include <string>

#include "db/game.h"
#include "db/repair.h"

// Highest game id the loader accepts. The list grows to the highest id found, so one stray
// directory such as game_2000000000 would otherwise ask for 16 GB of empty slots at start.
inline constexpr int32_t max_game_id = 999999;

// Names (last component only) of the entries matching `mask`, a path whose last component may
// hold "*" wildcards (case-sensitive); "." and ".." never, nor a link to nothing. Directory
// order, unsorted. Empty when the directory cannot be read.
astr list_dir(const std::string& mask);

// Rebuilds `games` from root/game_* (names starting exactly "game_"; the number after it is
// read leniently, so game_07 is 7 and game_3.txt is 3; negative numbers are skipped, and numbers
// above max_game_id are skipped with an "ERR" log line), between
// the log lines "Loading game info..." and "Game info loaded". A game that cannot be read in
// full is logged under "ERR" and loaded as far as it could be; loading goes on. A final move
// that did not complete is undone first (repair_final_move, with an "UPD" line). A game whose
// text files lack a key is rebuilt from its saves, or held (repair_game, db/repair.h). The list
// reaches past the ids of removed games in root/.trash/, whose slots stay empty.
void load_games(const std::string& root) REQUIRES(db_lock);

// Reads root/game_<id>/ into slot id, growing `games` and making the record when needed. A
// directory without cond.txt leaves a record with only its id set. name.txt is read without one
// final LF or CR LF. A missing or unreadable
// name.txt or descr.txt gives an empty name or description and an "ERR" log line naming the
// game and the file. admin.txt is read when present. Changes no file. Returns what cond.txt and
// state.txt lack, also kept as the record's damage (the game is held until repaired). Throws
// io_error when cond.txt or state.txt opens but cannot be read. Needs id >= 0.
text_damage load_game(const std::string& root, int32_t id) REQUIRES(db_lock);

// Reads root/game_<id>/ into *record as load_game does (damage included), touching no lock and
// no slot: for a record read before it is put into the list. Throws io_error as load_game does,
// with *record filled as far as it was read.
text_damage read_game_record(const std::string& root, int32_t id, game_info* record);
