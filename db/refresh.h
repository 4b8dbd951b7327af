// The hourly refresh: each game's newest save is dated, its age recorded in last_turn_age, and
// stale games are finished (status 2) or archived (status 3) by fixed rules. Nothing is moved
// or deleted; a changed record has its text files rewritten. The rules measure a game's age from
// its newest save, or from its unarchive by an operator when that is more recent.
//
// Saves are decoded only when new: the save_time of a file whose identity (path, size,
// modification time, inode) has not changed since it was last read successfully is reused.
#pragma once

#include <cstdint>
#include <string>

#include "db/game.h"

// Refreshes games[id]: skips ids 599, 600, 610, 611, empty slots, held games (db/repair.h) and
// records whose status is beyond status_archived. Holds game_lock(id) throughout and db_lock only
// to copy and put back the record, so the save is read and the files written while every other game
// goes on. A newest save that is missing, unreadable or refused, and a failing save_game_files, are
// logged ("UPD", "Error parsing game_<id>, file <lastfile>, (<reason>)") and leave the record as it
// was on disk. Never throws io_error.
void refresh_game(const std::string& root, int32_t id) EXCLUDES(db_lock);

// One pass: refresh_game for slots 0 .. games.size()-1 (size read once), in ascending order.
// The caller writes "Status refresh." afterwards.
void refresh_games(const std::string& root) EXCLUDES(db_lock);

// Tells the refresh the save_time of a turn file just written and decoded (op=8/op=27), so the
// next pass need not decode it again. Keeps one file per game directory. Never throws: a file
// that cannot be examined is simply not remembered. Takes only a lock of its own.
void remember_save_stamp(const std::string& path, int32_t save_time);

// Forgets every remembered save_time (the next pass decodes every save).
void clear_save_stamps();
