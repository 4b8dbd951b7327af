// The listener and its connection threads: an accept loop on a thread of its own gives each
// accepted connection a thread of its own (one that has just finished a connection, or a new
// one), which waits for the request, reads it, routes it, sends the reply and closes. Used by the
// program (on local_ip() port 80) and by tests (in-process on 127.0.0.1 and an ephemeral port):
//
//   scoped_server server;                       // listening when the constructor returns
//   http_reply r = http_get(server.port(), "/gameserver_v2.php?op=777");
//                                               // stopped at the end of the scope
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "lib/file_io.h"

// Most connection threads at once; a connection beyond it is closed at once, so a flood can
// exhaust neither threads nor descriptors.
inline constexpr int max_connections = 512;
// Most connections at once from one IPv4 address, so one client cannot take every thread.
inline constexpr int max_connections_per_addr = 64;
// How long a connection may stay silent before its first byte.
inline constexpr int first_byte_timeout_ms = 60 * 1000;
// How long one reply may take to send; a client that does not read cannot hold a thread longer.
inline constexpr int send_timeout_ms = 60 * 1000;
// How long a stop waits for requests in flight; a stalled client must not hold up a stop.
inline constexpr int stop_grace_ms = 30 * 1000;

// How long a connection thread that has finished its connection waits for the next one before
// it ends: a busy server then reuses its threads instead of making one per connection.
inline constexpr int idle_thread_keep_ms = 2000;

// Shared by the accept loop, every connection thread and the owner of the server_handle;
// defined in server.cpp.
struct server_state;

struct server_handle {
  uint16_t port = 0;  // the port actually bound
  std::shared_ptr<server_state> state;
  std::thread accept_thread;
};

// Binds `ip`:`port` (0: an ephemeral port), starts the accept loop on its own thread and
// returns once the socket listens. Throws io_error when the socket cannot be bound.
server_handle start_server(const std::string& ip, uint16_t port);

// Stops accepting, closes the connections still waiting for their first byte, and waits up to
// stop_grace_ms for the requests in flight. Returns false when some were still running then.
// Does nothing on a handle that is not running.
bool stop_server(server_handle* server);

// Whether the accept loop still runs.
bool server_accepting(const server_handle& server);

// Connection threads running now.
int active_connections(const server_handle& server);

// A server for one scope: started on 127.0.0.1 and an ephemeral port, stopped at its end.
struct scoped_server {
  explicit scoped_server(const std::string& ip = "127.0.0.1", uint16_t port = 0);
  ~scoped_server();
  scoped_server(const scoped_server&) = delete;
  scoped_server& operator=(const scoped_server&) = delete;

  uint16_t port() const { return handle.port; }

  server_handle handle;
};
