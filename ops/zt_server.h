// The game protocol at /gameserver_v2.php: one entry point that splits the query, logs the
// request and runs the operation named by `op`.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "db/game.h"

// Serves one game-protocol request. `query_text` is the target after "/gameserver_v2.php"
// (normally starting with "?"); `req_body` is the uploaded save (empty for a GET).
// Returns true with *reply holding the complete HTTP reply to send; false with *reply holding
// an error body ("ZTXS ...") that the caller sends with html_reply_utf8 and logs as "LOG-ERR".
// Never throws: any failure inside becomes "ZTXS Crash in zt_server".
// Nothing is sent here: the caller sends after releasing the lock.
bool do_zt_server(std::string_view query_text, const std::string& req_body, std::string* reply)
    REQUIRES(db_lock);

// The crash guard of do_zt_server: runs `serve` on a fresh reply that starts as "ZTXS Unknown
// error" and hands over its result and reply. If it throws, returns false with *reply
// "ZTXS Crash in zt_server" and writes the "ERR" line "Error in do_zt_server".
bool run_guarded(const std::function<bool(std::string*)>& serve, std::string* reply);
