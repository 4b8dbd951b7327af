// A small HTTP client over real sockets for tests: send raw bytes, read the whole reply until
// the server closes, split it into status, headers and body. Optionally binds the client end
// to a given source address (127.0.0.2, 127.0.0.3, ...) to look like another client.
//
//   http_reply r = http_get(port, "/gameserver_v2.php?op=777");
//   EXPECT_EQ(r.status, "200 OK");  EXPECT_EQ(r.body, "ZTNS");
//
//   client_socket c = connect_to(port, {.source_ip = "127.0.0.2"});
//   send_bytes(c, "GET /x HTT");  send_bytes(c, "P/1.0\r\n\r\n");
//   http_reply r = read_reply(c);
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct client_options {
  std::string host = "127.0.0.1";  // server address (dotted IPv4, or IPv6 such as "::1")
  std::string source_ip;           // bind the client end here first ("" = any)
  int timeout_ms = 10000;          // for connecting and for reading the reply
};

// Owns the client's descriptor; closes it at the end of its scope.
struct client_socket {
  client_socket() = default;
  explicit client_socket(int f) : fd(f) {}
  ~client_socket();
  client_socket(client_socket&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  client_socket& operator=(client_socket&& other) noexcept;
  client_socket(const client_socket&) = delete;
  client_socket& operator=(const client_socket&) = delete;

  int fd = -1;
  int timeout_ms = 10000;
};

struct http_reply {
  std::string raw;        // every byte received until the server closed
  bool complete = false;  // the server closed (or reset) before the timeout
  std::string status;     // "200 OK" (after "HTTP/1.0 "), empty when there was no reply
  std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
  std::string body;                                          // everything after the blank line

  // The value of the first header named `name` (exact case), or "".
  std::string header(std::string_view name) const;
};

// Connects to `port` (throws std::runtime_error when it cannot).
client_socket connect_to(uint16_t port, const client_options& options = {});

// Sends all of `bytes`; false when the connection failed.
bool send_bytes(client_socket& sock, std::string_view bytes);

// Closes the sending direction only (the server sees end of input, the reply can still come).
void shutdown_send(client_socket& sock);

// Reads until the server closes or the socket's timeout passes, and splits the reply.
http_reply read_reply(client_socket& sock);

// True when the server closes the connection (orderly or by reset) within `ms` milliseconds
// without sending anything; data received instead makes it false.
bool closed_without_reply(client_socket& sock, int ms);

// True when nothing at all (neither data nor a close) arrives within `ms` milliseconds.
bool stays_silent(client_socket& sock, int ms);

// Splits raw reply bytes into status, headers and body.
http_reply split_reply(std::string raw);

// One whole exchange: connect, send `request` as it stands, read the reply.
http_reply http_exchange(uint16_t port, std::string_view request,
                         const client_options& options = {});

// "GET <target> HTTP/1.0\r\n\r\n" through http_exchange.
http_reply http_get(uint16_t port, std::string_view target, const client_options& options = {});

// The first IPv4 address of this machine's host name, or "127.0.0.1" (where the real binary
// listens).
std::string host_ipv4();
