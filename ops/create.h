// op=8: a new game from its creator's first save.
#pragma once

#include <string>

#include "db/game.h"
#include "ops/op_result.h"

// Decodes `req_body`, gives the game the next slot of `games` (its id), stores the upload as
// the first turn file (turns/set_0_0.zts with an opening phase, else turns/turn_0_0.zts) and
// writes the game's text files, all durably. Returns the page "ZTXS\n00\nOK\n", sent only once
// everything is on disk, or one "ZTXS ..." refusal with nothing changed. Throws io_error when a
// write fails, after taking the slot back out of `games` and removing the game's directory: a
// failed creation leaves no trace. Creations run side by side; db_lock is held only to take the
// slot and to put the record in it, so everything else goes on while the game is written.
op_result create_party(const std::string& req_body) EXCLUDES(db_lock);
