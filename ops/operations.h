// The game operations the dispatcher runs, one per operation code. Each builds its complete
// reply in memory; the connection thread sends it after db_lock is released.
//
// Operations that can refuse return true with *reply the complete HTTP reply, or false with
// *reply exactly one "ZTXS ..." error line and nothing sent (the connection thread sends it
// and logs it as "LOG-ERR"). The lists never refuse and return the complete reply. Failures
// (io_error and the like) are thrown; the dispatcher turns them into the crash reply.
#pragma once

#include <string>

#include "db/game.h"
#include "net/query.h"
#include "ops/op_result.h"

// op=8, input the upload alone.
op_result create_party(const std::string& req_body) REQUIRES(db_lock);

// op=27, input the upload alone.
op_result party_next(const std::string& req_body) REQUIRES(db_lock);

// op=28 (fn) and op=29 (fn, tn, pl): turn downloads.
op_result get_party_turn(const aget_rec& pairs) REQUIRES(db_lock);
op_result give_party_turn(const aget_rec& pairs) REQUIRES(db_lock);

// op=11 (`open`: status 0 and 1) and op=12 (status 2): the complete plain-list reply.
std::string get_all_info(bool open) REQUIRES(db_lock);

// op=666: the JSONP text (the body; the dispatcher frames it).
std::string games_jsonp() REQUIRES(db_lock);
