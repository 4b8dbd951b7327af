// op=27: a player's move. The save names its game; it must continue that game at the right
// turn from the player whose move it was. The move then passes to the next player still in the
// game (or the game ends when at most one is left) and the upload becomes the newest turn file.
// The move that ends a game first keeps aside (db/aside.h) the state, conditions and turn file
// it replaces.
#pragma once

#include <string>

#include "db/game.h"
#include "ops/op_result.h"

// Returns the page "ZTXS\n00\nOk\n", sent only once the turn file and the game's text files are
// on disk, or one "ZTXS ..." refusal with nothing changed (the "SVOP" line is written for every
// save that names an existing game). Throws when the game's record is unusable (more than 20
// players, or a current player outside them), before changing anything, and io_error when a write
// fails, with the record unchanged and, as far as possible, the files restored. Holds the
// game's lock across its disk writes and db_lock only to find the game and to put the changed
// record back, so other games, the lists and the pages never wait for this move's syncs.
op_result party_next(const std::string& req_body) EXCLUDES(db_lock);
