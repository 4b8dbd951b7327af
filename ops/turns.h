// op=28 and op=29: stored turn files handed back as downloads.
#pragma once

#include <string>

#include "db/game.h"
#include "net/query.h"
#include "ops/op_result.h"

// op=28 (fn=game_<k>): the game's newest turn file (`lastfile`), for the player to move. Refuses
// a finished game (status 2); serves every other status. Returns the download (read into memory
// here, holding the game's lock, so the caller sends it holding none) or one "ZTXS ..." refusal.
// Throws io_error when the file cannot be read.
op_result get_party_turn(const aget_rec& pairs) EXCLUDES(db_lock);

// Whether get_party_turn would find the game's lock free at this moment, or refuse without
// needing it: then it answers from the page cache at once, unless a move takes the lock first.
bool party_turn_ready(const aget_rec& pairs) EXCLUDES(db_lock);

// op=29 (fn, tn, pl): turns/turn_<tn>_<pl>.zts of a finished game (status 2), so it can be
// replayed. tn and pl must each be 1 to 10 decimal digits; anything else is answered "ZTXS Turn
// was not saved" without touching the file system. Results as for get_party_turn.
op_result give_party_turn(const aget_rec& pairs) EXCLUDES(db_lock);
