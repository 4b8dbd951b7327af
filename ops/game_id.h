// Game id texts of the protocol: "game_" + the game's slot in `games`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db/game.h"

// Resolves a game id text to the slot of a game that exists. Returns true with *id set, or
// false with *reply set to "ZTXS Invalid game id" (no "game_" prefix), "ZTXS Game id is out of
// range" or "ZTXS Unregistered game id" (empty slot). The number after the prefix is read
// leniently: "game_" alone or "game_abc" names game 0.
bool find_game(std::string_view id_text, int32_t* id, std::string* reply) REQUIRES(db_lock);
