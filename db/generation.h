// The generation of the game data: a process-wide number that changes whenever a game record or
// the game list changes (a game created, a move accepted, a refresh pass, the list loaded).
// Replies built from the records (the JSON API, the lists) are kept with the generation they
// were built at and rebuilt only when it has moved on, so readers need not take db_lock to
// learn that nothing changed. Each slot also remembers the generation of its last change, so a
// list kept in pieces (db/reply_cache.h) rebuilds only the pieces of the games that changed.
//
//   uint64_t seen = games_generation();    // before copying the records under db_lock
//   ... copy, release db_lock, build ...
//   keep(reply, seen);                     // a change after `seen` makes the next read rebuild
#pragma once

#include <cstddef>
#include <cstdint>

#include "db/game.h"

// The current generation. Never decreases; starts at 1. Lock-free, never throws.
uint64_t games_generation();

// Moves the generation on and counts every slot as changed. Call after a change to `games` or
// to records not named one by one (whether the change stays or is undone), while still holding
// db_lock, so that a reader that sees the new generation also finds the change.
void bump_games_generation() REQUIRES(db_lock);

// The same for a change to slot `slot` alone (its record made, replaced or emptied).
void bump_game_generation(size_t slot) REQUIRES(db_lock);

// The generation of the last change counted for `slot` (any slot, in range of `games` or not).
uint64_t slot_changed_at(size_t slot) REQUIRES(db_lock);
