// op=11, op=12 and op=666: the game lists.
//
// Plain list (clients), body: "ZTXS\n", the count, "\n", one "game_<k>\n" per listed game, then
// each listed game's game_block, index descending; texts stay in Windows-1251.
// JSONP list (a web page loads it as a script): "parseResult({\n \"games\" : [\n", one
// eleven-line object per game (status 1, then 0, 2, 3; index descending within a status),
// "  {}\n ]\n})". Texts are converted to UTF-8 and JSON-escaped.
#pragma once

#include <cstdint>
#include <string>

#include "db/game.h"
#include "db/reply_cache.h"
#include "ops/op_result.h"

// The plain list (sent as text/html, no charset): the games in play (status 0 or 1) when
// `open`, else the finished ones (status 2).
std::string get_all_info(bool open) REQUIRES(db_lock);

// The JSONP text of every game in status 0 to 3.
std::string games_jsonp() REQUIRES(db_lock);

// The same replies as the clients get them: built from `games` after something they show
// changed (a creation, a move, a refresh, the load) and shared from memory by every request
// until the next change; kept in pieces of a few dozen games (db/reply_cache.h). op=11 (`open`) /
// op=12: get_all_info(open) framed as a page; op=666: games_jsonp() framed as a UTF-8 page.
shared_reply plain_list_reply(bool open) EXCLUDES(db_lock);
shared_reply jsonp_list_reply() EXCLUDES(db_lock);
