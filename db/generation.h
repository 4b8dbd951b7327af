// The generation of the game data: a process-wide number that changes whenever a game record or
// the game list changes (a game created, a move accepted, a refresh pass, the list loaded).
// Replies built from the records (the JSON API, the lists) are kept with the generation they
// were built at and rebuilt only when it has moved on, so readers need not take db_lock to
// learn that nothing changed.
//
//   uint64_t seen = games_generation();    // before copying the records under db_lock
//   ... copy, release db_lock, build ...
//   keep(reply, seen);                     // a change after `seen` makes the next read rebuild
#pragma once

#include <cstdint>

// The current generation. Never decreases; starts at 1. Lock-free, never throws.
uint64_t games_generation();

// Moves the generation on. Call after every change to a record or to `games` (whether the
// change stays or is undone), while still holding db_lock, so that a reader that sees the
// new generation also finds the change. Lock-free, never throws.
void bump_games_generation();
