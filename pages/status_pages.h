// The HTML of the operators' status pages: the games grouped by state, every game, one game's
// details and the fallback page.
//
// A page is Windows-1251 bytes with LF line ends (never CR) and no byte-order mark. Every page
// opens with the same head (schema meta, style block, charset, a 60 s refresh, the title) and a
// body line; the two list pages are one table of eight-line game rows, the details page is
// plain lines ending in "<br>". Texts taken from a game's record are HTML-escaped, so a name
// uploaded in a save shows as text and never becomes markup.
#pragma once

#include <cstdint>
#include <string>

#include "db/game.h"
#include "db/reply_cache.h"

// The list of games grouped by status (1, then 0, 2, 3; each from the last slot down); games
// of any other status are left out. `m` is the mode written into the links.
std::string log_page_games(int32_t m) REQUIRES(db_lock);

// Every non-empty slot from the last down, whatever its status.
std::string log_page_all(int32_t m) REQUIRES(db_lock);

// The same two pages as complete replies ("200 OK", text/html) to keep in pieces.
list_shape log_page_games_shape(int32_t m);
list_shape log_page_all_shape(int32_t m);

// The details of game `id`, with a back link to mode `pm`; empty when `id` is outside `games`
// or names an empty slot. Lists at most max_players players, whatever plr_cnt says.
std::string log_page_game(int32_t pm, int32_t id) REQUIRES(db_lock);

// The page for an unknown mode.
std::string log_page_none();
