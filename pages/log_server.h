// The operators' status pages at /ztsv_log.php.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "db/game.h"

// Builds the complete HTTP reply for one status-page request; `query_text` is the target after
// "/ztsv_log.php". Never throws (a failure is logged and gives no reply: nothing is sent).
// The caller sends the reply after releasing the lock.
std::optional<std::string> do_log_server(std::string_view query_text) REQUIRES(db_lock);
