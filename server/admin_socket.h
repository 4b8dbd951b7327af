// The admin socket: a Unix-domain stream socket (never TCP) through which zts_admin runs the
// operators' operations (ops/admin_ops.h) in the running server. The socket file has mode 0600
// and only a peer running as the server's own user (or root) is served: file permissions are the
// access control. One request per connection, served one at a time on a thread of its own.
//
// Request: one line of at most max_admin_request_bytes, fields separated by TAB, ending in LF:
//   <format> TAB <operation> [TAB <argument>]...
// <format> is "text" (human-readable) or "json" (one JSON object). Operations:
//   games [<status>]          every game, or those with status 0-3 / in_play, opening,
//                             finished, archived
//   game <id>                 one game with its turn files and what it keeps aside
//   revert <id> [<file>]      take back the last move; with <file>, only while that is the
//                             newest save (so a move made meanwhile wins and the revert is
//                             refused)
//   archive <id>   unarchive <id>   remove <id>   restore <id>
//   repair <id>               rebuild a game whose cond.txt or state.txt lacks a key from its
//                             saves, and release it if it was held
//   snapshot <dir>            <dir> absolute, or relative to the server's working directory
//   refresh                   the hourly pass, now
// <id> is "<n>" or "game_<n>". Reply: a line "ok", or "refused " and the reason, then the body
// in the asked format (for a refusal, the reason again; in JSON {"ok":false,"error":...}), then
// the server closes the connection. A malformed request is refused with an empty body. Every
// request that names an operation leaves an "ADM" log line with its outcome.
#pragma once

#include <string>
#include <string_view>
#include <thread>

#include "lib/file_io.h"

// A request longer than this is refused: no operation needs more than a path.
inline constexpr size_t max_admin_request_bytes = 4096;
// How long a client may take to send its request; a stalled one must not block the next.
inline constexpr int admin_request_timeout_ms = 5000;
// How long the reply may take to send.
inline constexpr int admin_send_timeout_ms = 10000;

// The admin socket's file when the configuration names none, in the working directory.
inline constexpr const char* default_admin_socket = "admin.sock";

struct admin_socket {
  std::string path;
  unique_fd listener;
  unique_fd wake_read;  // readable once a stop begins
  unique_fd wake_write;
  std::thread thread;
};

// Binds the socket at `path` with mode 0600 and starts serving it. A socket file left by a
// server that is gone is replaced; a live one (another server answers there) or any other file
// is left alone and refused. Throws io_error with the reason.
void start_admin_socket(const std::string& path, admin_socket* admin);

// Stops serving (a request in progress finishes), removes the socket file. Does nothing when the
// socket was not started.
void stop_admin_socket(admin_socket* admin);

// The complete reply to one request line (without its LF). Takes the locks it needs.
// REQUIRES: db_lock not held.
std::string serve_admin_request(std::string_view line);
