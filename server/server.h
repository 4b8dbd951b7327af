// The listener, its connection loops and its workers. One loop per core (at least two) waits
// on all listening sockets at once and on the connections it has accepted, and does everything
// that never blocks: it accepts, reads each request as its bytes arrive, answers op=777, the
// lists and the 404 page itself and sends those replies as the socket drains, then closes. A
// request that may wait on a disk or on a game's lock (a move, a create, a download, the pages,
// the log, the API) is handed to a worker once its head names it, as is a connection whose
// client must wait for a place; a worker serves it the blocking way to its close, with the same
// time-outs. Workers are started when every one is busy and end after idle_thread_keep_ms idle.
// Used by the program (on the configured endpoints, by default local_ip() port 80) and by tests
// (in-process on 127.0.0.1 and an ephemeral port):
//
//   scoped_server server;                       // listening when the constructor returns
//   http_reply r = http_get(server.port(), "/gameserver_v2.php?op=777");
//                                               // stopped at the end of the scope
//
// Client addresses: a connection's client is its peer, except for a peer listed in the
// configuration's trusted_proxies, whose client is the right-most X-Forwarded-For address that is
// not itself a trusted proxy (net/forwarded.h). The per-address cap counts clients; a proxy's own
// connections are counted against the total cap only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/file_io.h"
#include "net/address.h"

// Shared by the loops, the workers and the owner of the server_handle (listener_internal.h).
struct server_state;

struct server_handle {
  uint16_t port = 0;                   // the port bound for the first endpoint
  std::vector<uint16_t> ports;         // the ports bound, one per endpoint, in order
  std::vector<std::string> addresses;  // "address:port" bound, one per endpoint, in order
  std::shared_ptr<server_state> state;
};

// Where the server listens without a configured `listen`, given the host name's IPv4 addresses
// (host_addresses()): port 80 of the first, or of 0.0.0.0 (every address) when the name
// resolves only to loopback addresses or to none.
ip_endpoint default_listen(const std::vector<std::string>& host_ips);

// Binds every endpoint of `listen` (IPv4 and IPv6; port 0: an ephemeral one; none:
// default_listen()), starts the connection loops and returns once every socket listens. Throws
// io_error (naming the endpoint) when a socket cannot be bound, after closing the ones already
// bound. The endpoints are bound once; everything else (caps, timeouts, trusted proxies) is
// read from current_config() (server/config.h) as each connection is accepted: a connection
// keeps the values it was admitted with, and a lowered cap only stops admitting until enough
// connections have ended.
server_handle start_server(const std::vector<ip_endpoint>& listen);

// The same on `ip`:`port` (0: an ephemeral port).
server_handle start_server(const std::string& ip, uint16_t port);

// Stops accepting, closes the connections still waiting for their first byte, and waits for the
// requests in flight. Two waits of up to stop_grace each (current_config() at the stop), so up to
// twice the grace in all: first for every loop to stop watching the listeners (they are closed
// then), then for the connections still served to end. Returns false when some were still running
// then. Does nothing on a handle that is not running.
bool stop_server(server_handle* server);

// Whether the server still accepts connections: started, not stopped, and its listeners have
// not failed for good ("Boom...").
bool server_accepting(const server_handle& server);

// Connections being served now.
int active_connections(const server_handle& server);

// Connections being served now that count against `client`'s per-address cap.
int connections_from(const server_handle& server, const ip_addr& client);

// A server for one scope: started on 127.0.0.1 and an ephemeral port (or on `listen`), stopped
// at its end.
struct scoped_server {
  explicit scoped_server(const std::string& ip = "127.0.0.1", uint16_t port = 0);
  explicit scoped_server(const std::vector<ip_endpoint>& listen);
  ~scoped_server();
  scoped_server(const scoped_server&) = delete;
  scoped_server& operator=(const scoped_server&) = delete;

  uint16_t port() const { return handle.port; }

  server_handle handle;
};
