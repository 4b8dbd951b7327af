// A thin layer over POSIX stream sockets: the listening endpoint, and the waits, reads and sends
// of one connection, each bounded by a deadline so that no thread waits forever on a peer.
// Descriptors are held in unique_fd and errno becomes text through errno_message (both
// lib/file_io.h); the only blocking call here is the poll() in wait_fd.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/file_io.h"
#include "lib/pieces.h"
#include "net/address.h"

using steady_time = std::chrono::steady_clock::time_point;

// A deadline `ms` milliseconds from now.
steady_time deadline_after_ms(int64_t ms);

// The first IPv4 address of this machine's host name in dotted form, or "127.0.0.1".
std::string local_ip();

// The first IPv4 address of `host` in dotted form, or "" when the lookup fails.
std::string resolve_host(std::string_view host);

// Every IPv4 address this machine's host name resolves to, dotted, in the resolver's order
// (empty when the name is unknown).
std::vector<std::string> host_addresses();

// `host` itself when it is made of digits and dots only (or empty, or unresolvable); otherwise
// resolve_host(host).
std::string host_to_ip(std::string_view host);

// Creates a TCP socket bound to `ip`:`port` (port 0: the system picks one) and listening with
// the largest backlog the system allows. Throws io_error when any step fails.
unique_fd sock_listen(const std::string& ip, uint16_t port);

// Creates a TCP socket bound to `ep` (port 0: the system picks one) and listening with the
// largest backlog the system allows. An IPv6 socket takes IPv6 only, so that "[::]:80" and
// "0.0.0.0:80" can be bound side by side. Throws io_error naming the endpoint when a step fails.
unique_fd sock_listen(const ip_endpoint& ep);

// The local port a bound socket (IPv4 or IPv6) got. Throws io_error.
uint16_t sock_local_port(int fd);

// `addr`, or the IPv4 address an IPv4-mapped IPv6 address (::ffff:a.b.c.d) carries.
ip_addr plain_ip(const ip_addr& addr);

// The peer's address; an IPv4 client of an IPv6 socket (::ffff:a.b.c.d) is given as the IPv4
// address it is. False when it cannot be read.
bool sock_peer_ip(int fd, ip_addr* out);

enum class wait_result { ready, woken, timed_out };

// Waits until `fd` is ready for `events` (POLLIN/POLLOUT; hang-ups and errors count as ready),
// `wake_fd` (-1: none) becomes readable, or `deadline` passes. When both are ready, `fd` wins.
wait_result wait_fd(int fd, short events, int wake_fd, steady_time deadline);

enum class recv_result { data, nothing_yet, closed };

// Receives what is waiting (at most `max` bytes, without blocking) and appends it to *out.
// `closed` covers an orderly close and a failed receive alike: no more bytes will come.
recv_result sock_recv_some(int fd, std::string* out, size_t max);

// Sends all of `bytes` before `deadline`. Returns false when the peer is gone, a send fails or
// the deadline passes; never raises SIGPIPE.
bool sock_send_all(int fd, std::string_view bytes, steady_time deadline);

enum class send_progress { done, blocked, failed };

// Sends, without waiting, what the socket buffer takes of `reply` from byte *sent on (its pieces
// in order, with gathered writes, then its file straight from the kernel's cache by sendfile,
// leaving `fd` non-blocking), and advances *sent over it. `blocked`: the buffer is full, call
// again when `fd` is writable. `failed`: the peer is gone or the file shorter than when opened.
// Never raises SIGPIPE.
send_progress sock_send_some(int fd, const text_pieces& reply, size_t* sent);

// The same for every piece of `reply` in order, handed to the kernel a batch of pieces at a time
// (gathered writes), never joined into one buffer, then its file, if any, straight from the
// kernel's cache (sendfile; `fd` is left non-blocking).
bool sock_send_pieces(int fd, const text_pieces& reply, steady_time deadline);
