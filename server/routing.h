// Routing one request by its path to the game protocol, the status pages, the raw event log,
// the JSON API, the metrics scrape or the 404 page; each request is counted here by route, op
// code and outcome.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lib/metrics.h"
#include "net/address.h"
#include "net/request.h"

#include "db/game.h"
#include "lib/pieces.h"

// Builds the complete reply for one request (null: send nothing, just close) and writes the
// request's log lines. `client` is the address the request is taken to come from. *route gets
// where it went. Holds no lock on return, so the caller sends without one; the lists come
// shared from memory, never copied per request. The first matching prefix wins (exact,
// case-sensitive): "/gameserver_v2.php", "/ztsv_log.php", "/zts.log"; then "/api/games" and
// "/api/games/<id>" (api/games_api.h), "/games" and its files (pages/player_web.h) unless the
// configuration turns them off, and "/metrics" for clients in the metrics_allow ranges;
// anything else gets the 404 page; "/healthz" (any query) gets the health check (200 "ok", or
// 503 and the reason: server/service.h). The API, the players' pages and the metrics read
// current_config() (public_url, web, metrics_allow) once per request. A HEAD request gets the
// head of what GET would get where route_answers_head says so; elsewhere nothing, as before.
shared_reply route_request(const request_rec& request, const ip_addr& client, route_kind* route)
    EXCLUDES(db_lock);

// Whether a HEAD request for `path` is answered (the API, the metrics, the players' pages and the
// health check). Others are dropped unanswered, like any request the server cannot read.
bool route_answers_head(std::string_view path);

// Whether routing a request for `path` may wait on a disk or on a game's lock held across disk
// writes: creates, moves, downloads, the status pages, the log, the JSON API and the metrics.
// The lists, op=777 and the 404 page answer from memory and never wait, nor does a newest-turn
// download (op=28) whose game is not being moved at the moment of asking.
bool route_may_wait(std::string_view path);

// The body of the 404 page naming `req_path` (HTML-escaped).
std::string not_found_page(std::string_view req_path);
