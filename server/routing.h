// Routing one request by its path to the game protocol, the status pages, the raw event log or
// the 404 page.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "db/game.h"

// Builds the complete reply for one request (none: send nothing, just close) and writes the
// request's log lines. Takes db_lock only around the game protocol and the status pages, and
// releases it before returning, so the caller sends without the lock. The first matching
// prefix wins (exact, case-sensitive): "/gameserver_v2.php", "/ztsv_log.php", "/zts.log";
// anything else gets the 404 page.
std::optional<std::string> route_request(const std::string& req_path, const std::string& req_body)
    EXCLUDES(db_lock);

// The body of the 404 page naming `req_path` (HTML-escaped).
std::string not_found_page(std::string_view req_path);
