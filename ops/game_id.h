// Game id texts of the protocol: "game_" + the game's slot in `games`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db/game.h"
#include "lib/refusal.h"

// Resolves a game id text to the slot of a game that exists, or refuses it with "ZTXS Invalid
// game id" (no "game_" prefix), "ZTXS Game id is out of range" or "ZTXS Unregistered game id"
// (empty slot). The number after the prefix is read leniently: "game_" alone or "game_abc" names
// game 0.
refusable<int32_t> find_game(std::string_view id_text) REQUIRES(db_lock);
