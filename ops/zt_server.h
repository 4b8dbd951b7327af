// The game protocol at /gameserver_v2.php: one entry point that splits the query, logs the
// request and runs the operation named by `op`.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "db/game.h"
#include "lib/metrics.h"
#include "ops/op_result.h"

// Serves one game-protocol request. `query_text` is the target after "/gameserver_v2.php"
// (normally starting with "?"); `req_body` is the uploaded save (empty for a GET).
// Returns the operation's result, which the caller frames with finish_op; each operation takes
// and releases the locks it needs, so none is held on return. A request without an operation
// gets the refusal "ZTXS Unknown error". Never throws: any failure inside becomes the refusal
// "ZTXS Crash in zt_server".
op_result do_zt_server(std::string_view query_text, const std::string& req_body) EXCLUDES(db_lock);

// Whether the operation `query_text` names may wait on a disk or on a game's lock held across
// disk writes (a create, a move, a download), as against answering from memory or the page
// cache at once. A download of a game's newest turn (op=28) whose game is not being moved at
// this moment does not wait.
bool op_may_wait(std::string_view query_text);

// The crash guard of do_zt_server: returns what `serve` returns. If it throws, returns the
// refusal "ZTXS Crash in zt_server" and writes the "ERR" line "Error in do_zt_server".
// A second "ERR" line gives the cause: "<operation>[ game <id>]: <what the exception says>"
// (the game noted by note_request_game, ops/op_result.h; an io_error names the path and the
// system's reason); for a held game (game_held, db/repair.h), the reason it is held.
op_result run_guarded(const std::function<op_result()>& serve,
                      std::string_view operation = "do_zt_server");

// The kind of a refusal line ("ZTXS ..."), for counting: every message the game protocol sends
// maps to one kind, anything else to refusal_kind::other.
refusal_kind classify_refusal(std::string_view message);
