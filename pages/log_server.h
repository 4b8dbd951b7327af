// The operators' status pages at /ztsv_log.php.
#pragma once

#include <string>
#include <string_view>

#include "db/game.h"
#include "lib/pieces.h"

// The complete HTTP reply for one status-page request; `query_text` is the target after
// "/ztsv_log.php". The list pages (mode 0 and 1) come from memory, rebuilt after the games
// changed; the others are built now. Takes db_lock only to build, and holds no lock on return.
// Never throws (a failure is logged and gives no reply, null: nothing is sent).
shared_reply do_log_server(std::string_view query_text) EXCLUDES(db_lock);
