// The operators' operations on the running server's games (the admin socket runs them): look at
// the games, revert a game's last move, archive and unarchive, remove to the trash and restore,
// snapshot every game, run the hourly pass now.
//
// Every change to a game is one step on disk: several files change by exchanging a staged copy
// of the game's directory (db/game_swap.h), a removal or restoration is one rename of the
// directory, a snapshot is built under a temporary name and renamed into place. A refusal
// changes nothing. Texts of the games are Windows-1251 and come out as UTF-8.
//
// Locks: an operation on one game runs holding that game's lock (the caller takes it), works on
// a copy of the record and publishes the changed one, as a move does; db_lock is taken only for
// a moment, never across a sync, so the lists, the API and the watchdog's check never wait for
// an operator's disk work.
#pragma once

#include <cstdint>
#include <string>

#include "db/game.h"
#include "lib/mutex.h"

// The outcome of one operation, ready for both reply formats.
struct admin_result {
  bool ok = false;
  std::string message;  // one line: what was done, or why nothing was (UTF-8)
  std::string text;     // the human-readable reply, ending in LF
  std::string json;     // the reply as one JSON object, no line end
};

// Reads a status given as a number 0-3 or a status word; false when it is neither.
bool parse_status(const std::string& text, int32_t* status);

// Reads a game id given as "<n>" or "game_<n>"; false for anything else.
bool parse_game_id(const std::string& text, int32_t* id);

// Every game in the list, newest id first; status_filter < 0 takes all. The records are copied
// under db_lock; each newest save's time is read after it is released.
admin_result admin_games(int32_t status_filter) EXCLUDES(db_lock);

// One game with its stored turn files and what it keeps aside.
// REQUIRES: game_lock(id) held (so for every operation on one game below).
admin_result admin_game(int32_t id) EXCLUDES(db_lock);

// Revert, archive and unarchive refuse a held game (db/repair.h): its record is not its own.

// Takes back the game's last accepted move: the state, conditions and newest save go back to
// what they were before it, and the undone save moves to aside/. The move that ended a game is
// taken back from what it kept aside. Refused: unknown id; `expect` not empty and not the newest
// save; an archived game; a finished game whose final move kept nothing aside; no move yet; a
// previous save that is missing or unreadable.
admin_result admin_revert(int32_t id, const std::string& expect) EXCLUDES(db_lock);

// Status 3, remembering the status it had. Refused when already archived.
admin_result admin_archive(int32_t id) EXCLUDES(db_lock);

// Back to the status the game had before it was archived (remembered when an operator archived
// it; otherwise worked out from the record: at most one player left is finished, a set_ newest
// save the opening phase, else in play), and the hourly pass measures the game's age from now.
// Refused unless archived.
admin_result admin_unarchive(int32_t id) EXCLUDES(db_lock);

// Rebuilds a game whose cond.txt or state.txt lacks a key from its newest stored save that
// reads (db/repair.h), both files exchanged in one step, and releases it if it was held. A held
// game whose files were mended by hand is read again. Refused when its files are whole and it is
// not held, or when no stored save can rebuild it.
admin_result admin_repair(int32_t id) EXCLUDES(db_lock);

// Empties the game's slot and moves its directory to game_server/.trash/.
admin_result admin_remove(int32_t id) EXCLUDES(db_lock);

// Brings game_server/.trash/game_<id> back into its slot. Refused when the trash does not hold
// it or the slot or directory is taken.
admin_result admin_restore(int32_t id) EXCLUDES(db_lock);

// Makes `dir` (which must not exist; its parent must be a writable directory on the games' file
// system) hold game_server/ with every game, each file a hard link, and nothing else of the
// games' directory. Each game is as it was at some moment between two of its changes (linked
// under its lock); games are not caught at one common moment. Built as a hidden directory
// beside `dir`, synced with no lock held, then renamed to `dir`.
admin_result admin_snapshot(const std::string& dir) EXCLUDES(db_lock);

// The hourly pass, now, with its "Status refresh." line.
admin_result admin_refresh() EXCLUDES(db_lock);

// A refusal with `reason`.
admin_result admin_refusal(const std::string& reason);
