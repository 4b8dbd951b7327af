// The JSON API for web pages and bots: whose turn it is, without speaking the game protocol.
//
//   GET /api/games        {"games":[<game>, ...]}  every game of status 0 to 3, by id; the
//                         query parameters of api/list_query.h select games (status, name) and
//                         page through them (limit, after), and with a limit the reply adds
//                         "next": the last id of the page when more games follow, else null
//   GET /api/games/<id>   <game> plus "turns_per_day" and "turns":[{"file","turn","player",
//                         "opening","size","time"[,"url"]}, ...] (the stored saves, in the order
//                         they were played), and each player's "turn_times"
//
// <game> is {"id","name","description","status" (a word),"status_code","turn","players":
// [{"team","color","in_game"}],"to_move","winner","last_move","on_turn_since"[,"url"]}: texts in
// UTF-8 and JSON-escaped, "to_move" and "winner" indexes into "players" or null, "last_move" the
// time the newest save was stored (ISO 8601, UTC) or null, "on_turn_since" the same time while
// a player is on turn (a game in play or in its opening phase), else null. The "url" members
// appear once a public base URL is configured (a turn's only in a finished game, the only kind
// op=29 serves). One game's players add "turn_times":{"count","median","mean","longest"} (seconds
// on a turn, db/turn_times.h) and the game "turns_per_day":{"last_7_days","overall"}.
//
// A list query that asks for something not allowed (a status other than open, finished or
// archived; a limit outside 1-1000; an after that is not an id) gets 400 and {"error":"..."}.
//
// Replies carry an ETag (a hash of the body), "Access-Control-Allow-Origin: *" and
// "Cache-Control: no-cache"; a request whose If-None-Match names the current ETag gets
// "304 Not Modified" and no body. An id that names no game gets 404 and {"error":"unknown game"}.
//
// Bodies are built from memory: a copy of the records is taken under db_lock only when the
// game data's generation has moved on, and the turns directories are read after db_lock is
// released, each only when its game changed. A page of the list renders only its own games. The
// API's own lock is always taken before db_lock, never while holding it.
#pragma once

#include <string>
#include <string_view>

#include "db/game.h"
#include "lib/metrics.h"

struct api_reply {
  bool handled = false;  // false: `target` is not the API's; nothing below is set
  outcome_kind outcome = outcome_kind::ok;
  std::string bytes;  // the complete HTTP reply
};

// The reply to the request target `target` (path and query). Paths that are neither
// "/api/games" nor "/api/games/<anything>" are not handled. `public_url` (the configuration's,
// no trailing "/"; "" leaves the links out) is put before the links in the JSON; bodies kept
// for another one are rebuilt.
api_reply serve_api(std::string_view target, std::string_view if_none_match,
                    const std::string& public_url) EXCLUDES(db_lock);

// Game counts by status from the same copy of the records (refreshed first when stale).
status_counts api_games_by_status() EXCLUDES(db_lock);

// Drops every cached body and directory listing (tests that swap the data directory).
void clear_api_cache() EXCLUDES(db_lock);
