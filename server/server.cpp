#include "server/server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <optional>

#include "lib/asys.h"
#include "lib/conv.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "lib/mutex.h"
#include "net/request.h"
#include "net/socket.h"
#include "server/routing.h"

// Orders addresses for the per-address counts.
struct ip_addr_less {
  bool operator()(const ip_addr& a, const ip_addr& b) const {
    return a.v6 != b.v6 ? a.v6 < b.v6 : a.bytes < b.bytes;
  }
};

// Shared by every connection thread (each holds a reference, so a thread that outlives a stop
// still finds it) and the owner of the server_handle.
struct server_state {
  // Filled before the first thread starts; after that read only with `mutex` held and a stop
  // not begun, and closed by stop_server with `mutex` held.
  std::vector<unique_fd> listeners;
  // A pipe whose read end turns readable when a stop begins: it wakes every thread waiting to
  // accept and every connection still waiting for its first byte.
  unique_fd wake_read;
  unique_fd wake_write;
  std::atomic<bool> stopping{false};

  annotated_mutex mutex;
  // Notified when a connection or a thread ends, and when a place is given back.
  std::condition_variable changed;
  // Replaced whole by update_server_options, never changed in place: a connection keeps the
  // one it was admitted with.
  std::shared_ptr<const server_options> options GUARDED_BY(mutex);
  int active GUARDED_BY(mutex) = 0;                                       // connections admitted
  std::map<ip_addr, int, ip_addr_less> active_by_addr GUARDED_BY(mutex);  // the same per client
  int waiting_for_place GUARDED_BY(mutex) = 0;     // connections waiting for a per-address place
  int threads GUARDED_BY(mutex) = 0;               // connection threads alive
  int accepting GUARDED_BY(mutex) = 0;             // threads in the accept section
  bool listener_failed GUARDED_BY(mutex) = false;  // accept failed for good ("Boom...")
};

namespace {

using std::chrono::milliseconds;

// Connection threads get a small stack: the request path keeps its data on the heap, and
// stacks this size are reused by the thread library instead of being mapped and unmapped for
// every thread (the default 8 MiB ones were a third of the cost of a short request).
constexpr size_t connection_stack_bytes = 256 * 1024;

// The epoll tag of the stop pipe; listeners are tagged with their index.
constexpr uint32_t wake_tag = UINT32_MAX;

bool is_trusted(const ip_addr& addr, const std::vector<ip_net>& trusted) {
  for (const ip_net& net : trusted) {
    if (ip_in_net(addr, net)) return true;
  }
  return false;
}

// One address of an X-Forwarded-For list: bare, or with a port as some proxies write it.
bool parse_hop(std::string_view text, ip_addr* out) {
  ip_endpoint ep;
  if (parse_ip(text, out)) return true;
  if (!parse_endpoint(text, &ep)) return false;
  *out = ep.addr;
  return true;
}

// The places one connection holds: one of the total from admission on, and one of its client's
// from when the client is known. Given back at the latest when the connection ends.
struct connection_slot {
  explicit connection_slot(std::shared_ptr<server_state> s) : state(std::move(s)) {}
  ~connection_slot() { release(); }
  connection_slot(const connection_slot&) = delete;
  connection_slot& operator=(const connection_slot&) = delete;

  void release() {
    if (!counted) return;
    add_active_connections(-1);
    mutex_lock lock(state->mutex);
    --state->active;
    if (counted_client) {
      auto it = state->active_by_addr.find(client);
      if (--it->second == 0) state->active_by_addr.erase(it);
    }
    counted = counted_client = false;
    state->changed.notify_all();
  }

  std::shared_ptr<server_state> state;
  bool counted = false;         // against the total
  bool counted_client = false;  // against `client`'s cap
  ip_addr client;
};

// Counts the connection against `client`'s cap when that address is below it.
bool try_take_client_place(server_state& state, connection_slot* slot, const ip_addr& client,
                           int cap) REQUIRES(state.mutex) {
  int& held = state.active_by_addr[client];
  if (held >= cap) {
    if (held == 0) state.active_by_addr.erase(client);
    return false;
  }
  ++held;
  slot->counted_client = true;
  slot->client = client;
  return true;
}

// The same, but when the address is at its cap, waits up to place_wait_ms for one of its places
// to come free. False when none did (or a stop began).
bool take_client_place(server_state& state, mutex_lock& lock, connection_slot* slot,
                       const ip_addr& client, int cap) REQUIRES(state.mutex) {
  if (try_take_client_place(state, slot, client, cap)) return true;
  // Waiting holds a thread and a total place, so only a few may wait at once.
  if (state.waiting_for_place >= cap) return false;
  ++state.waiting_for_place;
  lock.wait_for(state.changed, milliseconds(place_wait_ms), [&] {
    state.mutex.assert_held();
    return state.stopping || try_take_client_place(state, slot, client, cap);
  });
  --state.waiting_for_place;
  return slot->counted_client;
}

// Closes after the reply: our side is shut first and what the client still sent is drained, so
// that unread bytes do not turn the close into a reset that could destroy the reply in flight.
void close_connection(unique_fd conn) {
  shutdown(conn.fd, SHUT_WR);
  std::string discard;
  for (int i = 0; i < 16; ++i) {
    discard.clear();
    if (sock_recv_some(conn.fd, &discard, recv_chunk_bytes) != recv_result::data) break;
  }
}

void* connection_main(void* arg);

// Starts a detached connection thread. False when no thread can be made.
// REQUIRES: state->threads already counts it.
bool start_connection_thread(const std::shared_ptr<server_state>& state) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, connection_stack_bytes);
  auto arg = std::make_unique<std::shared_ptr<server_state>>(state);
  pthread_t thread;
  bool started = pthread_create(&thread, &attr, connection_main, arg.get()) == 0;
  pthread_attr_destroy(&attr);
  if (started) arg.release();  // connection_main owns it now
  return started;
}

// A connection accepted and admitted against the total cap.
struct admitted_connection {
  unique_fd conn;
  ip_addr peer;  // unreadable: 0.0.0.0
  bool proxied = false;
  std::shared_ptr<const server_options> options;
  bool start_acceptor = false;  // no other thread is left accepting: start one
};

// Admits the connection just accepted into a->conn, or closes it when the server is full.
// Done under the lock that accept ran under, so connections take their places in the order
// they were accepted.
void admit(server_state& state, admitted_connection* a, connection_slot* slot)
    REQUIRES(state.mutex) {
  sock_peer_ip(a->conn.fd, &a->peer);
  a->options = state.options;
  const server_options& options = *a->options;
  if (state.active >= options.max_connections) {
    count_connection_refused(cap_kind::total);
    a->conn = unique_fd();  // closed at once
    return;
  }
  ++state.active;
  add_active_connections(1);
  slot->counted = true;
  // A proxy's connection is counted against its client once the request names it.
  a->proxied = is_trusted(a->peer, options.trusted_proxies);
  if (!a->proxied) try_take_client_place(state, slot, a->peer, options.max_connections_per_addr);
  if (state.accepting == 0 && !state.stopping && state.threads <= options.max_connections) {
    a->start_acceptor = true;
    ++state.threads;
  }
}

// One admitted connection: wait for its client's place if need be, wait for the first byte,
// read the request, find its client, route it, send the reply, close.
void serve(const std::shared_ptr<server_state>& state, admitted_connection a,
           connection_slot* slot) {
  const server_options& options = *a.options;
  if (a.start_acceptor && !start_connection_thread(state)) {
    // This thread accepts again once its connection is done.
    mutex_lock lock(state->mutex);
    --state->threads;
  }
  unique_fd conn = std::move(a.conn);
  // Declared after `conn`, so that on every return the places are given back before the close.
  struct release_on_return {
    connection_slot* slot;
    ~release_on_return() { slot->release(); }
  } release_first{slot};
  if (!a.proxied && !slot->counted_client) {
    mutex_lock lock(state->mutex);
    if (!take_client_place(*state, lock, slot, a.peer, options.max_connections_per_addr)) {
      count_connection_refused(cap_kind::per_address);
      return;
    }
  }

  wait_result first = wait_fd(conn.fd, POLLIN, state->wake_read.fd,
                              deadline_after_ms(options.first_byte_timeout_ms));
  request_rec request;
  if (first != wait_result::ready || !read_request(conn.fd, &request)) {
    count_request(route_kind::unreadable, "none", outcome_kind::dropped);
    return;
  }
  // The address the cap counts is the one logs and metrics see.
  ip_addr client = a.peer;
  if (a.proxied) {
    client = client_address(a.peer, request.forwarded_for, options.trusted_proxies);
    mutex_lock lock(state->mutex);
    if (!take_client_place(*state, lock, slot, client, options.max_connections_per_addr)) {
      count_connection_refused(cap_kind::per_address);
      return;
    }
  }
  const int64_t start = steady_ns();
  route_kind route = route_kind::not_found;
  const shared_reply reply = route_request(request, client, &route);
  if (reply && sock_send_pieces(conn.fd, *reply, deadline_after_ms(options.send_timeout_ms))) {
    count_bytes_sent(reply->size);
  }
  observe_request_duration(route, seconds_since_ns(start));
  // The places are free once the reply is out: the close below never waits.
  slot->release();
  close_connection(std::move(conn));
}

// Errors of accept() that concern one connection or a passing shortage, not the listener.
bool accept_error_is_transient(int err) {
  switch (err) {
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EAGAIN:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

// This thread's wait set: every listener, each waking one waiting thread for one connection
// (EPOLLEXCLUSIVE), and the stop pipe, which wakes them all.
// REQUIRES: the stop has not begun (stop_server closes the listeners under this lock).
unique_fd make_accept_set(const server_state& state) REQUIRES(state.mutex) {
  unique_fd set(epoll_create1(EPOLL_CLOEXEC));
  if (set.fd < 0) return set;
  for (size_t i = 0; i < state.listeners.size(); ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.u32 = static_cast<uint32_t>(i);
    if (epoll_ctl(set.fd, EPOLL_CTL_ADD, state.listeners[i].fd, &ev) != 0) return unique_fd();
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u32 = wake_tag;
  if (epoll_ctl(set.fd, EPOLL_CTL_ADD, state.wake_read.fd, &ev) != 0) return unique_fd();
  return set;
}

enum class accept_outcome { connection, again, end_thread };

// One wait on the listeners and at most one accept. On `connection`, *out holds the admitted
// connection and *slot its places.
accept_outcome accept_once(server_state& state, int accept_set, admitted_connection* out,
                           connection_slot* slot) {
  {
    mutex_lock lock(state.mutex);
    if (state.stopping || state.listener_failed) return accept_outcome::end_thread;
    ++state.accepting;
  }
  epoll_event events[8];
  int n = retry_eintr([&] { return epoll_wait(accept_set, events, 8, idle_thread_keep_ms); });
  int err = 0;
  bool failed_now = false;
  {
    mutex_lock lock(state.mutex);
    --state.accepting;
    state.changed.notify_all();  // stop_server waits for no thread to be accepting
    if (state.stopping) return accept_outcome::end_thread;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u32 == wake_tag) return accept_outcome::end_thread;
      int fd = retry_eintr([&] {
        return accept4(state.listeners[events[i].data.u32].fd, nullptr, nullptr, SOCK_CLOEXEC);
      });
      if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) err = errno;  // EAGAIN: taken by another
        continue;
      }
      out->conn = unique_fd(fd);
      admit(state, out, slot);
      return out->conn.fd >= 0 ? accept_outcome::connection : accept_outcome::again;
    }
    // Idle for idle_thread_keep_ms: end, unless no other thread would be left accepting.
    if (n == 0) return state.accepting > 0 ? accept_outcome::end_thread : accept_outcome::again;
    if (err != 0 && !accept_error_is_transient(err)) {
      failed_now = !state.listener_failed;
      state.listener_failed = true;
    }
  }
  if (err != 0 && !accept_error_is_transient(err)) {
    if (failed_now) {
      errno = err;
      write_log("SYS", errno_message("accept", "listener"));
      write_log("SYS", "Boom...");
    }
    return accept_outcome::end_thread;
  }
  // Out of descriptors or memory: give the connections in flight a moment to end.
  if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) sleep_ms(10);
  return accept_outcome::again;
}

void connection_thread(const std::shared_ptr<server_state>& state) {
  try {
    unique_fd accept_set;
    {
      mutex_lock lock(state->mutex);
      if (!state->stopping) accept_set = make_accept_set(*state);
    }
    while (accept_set.fd >= 0) {
      admitted_connection accepted;
      connection_slot slot(state);
      accept_outcome got = accept_once(*state, accept_set.fd, &accepted, &slot);
      if (got == accept_outcome::end_thread) break;
      if (got == accept_outcome::connection) serve(state, std::move(accepted), &slot);
    }
  } catch (...) {
    write_log("ERR", "Error in sthread", true);
  }
  mutex_lock lock(state->mutex);
  --state->threads;
  state->changed.notify_all();
}

void* connection_main(void* arg) {
  std::unique_ptr<std::shared_ptr<server_state>> state(
      static_cast<std::shared_ptr<server_state>*>(arg));
  connection_thread(*state);
  return nullptr;
}

// options.listen, or port 80 of local_ip() when it is empty.
std::vector<ip_endpoint> listen_endpoints(const server_options& options) {
  if (!options.listen.empty()) return options.listen;
  ip_endpoint ep;
  ep.port = 80;
  if (!parse_ip(local_ip(), &ep.addr)) parse_ip("127.0.0.1", &ep.addr);
  return {ep};
}

// Each connection holds its socket, its thread's wait set and now and then a file: the usual
// soft limit of 1024 descriptors would stop accepting before the connection cap is reached.
// Raises the soft limit toward the hard one when it is lower than the caps need.
void make_room_for_descriptors(int connections) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return;
  rlim_t wanted = static_cast<rlim_t>(connections) * 3 + 64;
  if (files.rlim_cur >= wanted) return;
  files.rlim_cur = std::min(wanted, files.rlim_max);
  setrlimit(RLIMIT_NOFILE, &files);
}

}  // namespace

ip_addr client_address(const ip_addr& peer, std::string_view forwarded_for,
                       const std::vector<ip_net>& trusted) {
  ip_addr client = peer;
  if (!is_trusted(peer, trusted)) return client;
  std::string_view rest = forwarded_for;
  while (!rest.empty()) {
    size_t comma = rest.rfind(',');
    std::string_view hop = comma == std::string_view::npos ? rest : rest.substr(comma + 1);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
    std::string text = trim(hop);
    if (text.empty()) continue;
    ip_addr addr;
    if (!parse_hop(text, &addr)) break;
    client = plain_ip(addr);
    if (!is_trusted(client, trusted)) break;
  }
  return client;
}

server_handle start_server(const server_options& options) {
  auto state = std::make_shared<server_state>();
  auto running = std::make_shared<server_options>(options);
  running->listen = listen_endpoints(options);
  make_room_for_descriptors(running->max_connections);
  server_handle server;
  for (const ip_endpoint& ep : running->listen) {
    state->listeners.push_back(sock_listen(ep));
    int fd = state->listeners.back().fd;
    // Several threads wait on it: the one that loses the race must not block in accept.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    server.ports.push_back(sock_local_port(fd));
  }
  server.port = server.ports.front();
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw io_error(errno_message("pipe", "stop signal"));
  state->wake_read = unique_fd(pipe_fds[0]);
  state->wake_write = unique_fd(pipe_fds[1]);
  {
    mutex_lock lock(state->mutex);
    state->options = std::move(running);
    state->threads = 1;
  }
  if (!start_connection_thread(state)) throw io_error("no thread for the listener");
  server.state = std::move(state);
  return server;
}

server_handle start_server(const std::string& ip, uint16_t port) {
  server_options options;
  ip_endpoint ep;
  if (!parse_ip(host_to_ip(ip), &ep.addr) || ep.addr.v6) {
    throw io_error("not an IPv4 address: " + ip + ":" + std::to_string(port));
  }
  ep.port = port;
  options.listen = {ep};
  return start_server(options);
}

bool update_server_options(server_handle* server, const server_options& options) {
  if (!server->state) return true;
  server_state& state = *server->state;
  auto next = std::make_shared<server_options>(options);
  make_room_for_descriptors(options.max_connections);
  mutex_lock lock(state.mutex);
  bool same_listen = listen_endpoints(options) == state.options->listen;
  next->listen = state.options->listen;
  state.options = std::move(next);
  state.changed.notify_all();  // a raised cap may let a waiting connection in
  return same_listen;
}

server_options current_server_options(const server_handle& server) {
  if (!server.state) return server_options{};
  mutex_lock lock(server.state->mutex);
  return *server.state->options;
}

bool stop_server(server_handle* server) {
  std::shared_ptr<server_state> state = std::move(server->state);
  if (!state) return true;
  int grace_ms;
  {
    mutex_lock lock(state->mutex);
    state->stopping = true;
    grace_ms = state->options->stop_grace_ms;
  }
  state->changed.notify_all();
  char wake = 1;
  (void)!write(state->wake_write.fd, &wake, 1);
  mutex_lock lock(state->mutex);
  // Every thread waiting to accept wakes at once on the pipe; none starts again after a stop.
  lock.wait_for(state->changed, milliseconds(grace_ms), [&] {
    state->mutex.assert_held();
    return state->accepting == 0;
  });
  state->listeners.clear();  // new connections are refused from here on
  return lock.wait_for(state->changed, milliseconds(grace_ms), [&] {
    state->mutex.assert_held();
    return state->active == 0;
  });
}

bool server_accepting(const server_handle& server) {
  if (!server.state) return false;
  mutex_lock lock(server.state->mutex);
  return !server.state->stopping && !server.state->listener_failed && server.state->threads > 0;
}

int active_connections(const server_handle& server) {
  if (!server.state) return 0;
  mutex_lock lock(server.state->mutex);
  return server.state->active;
}

int connections_from(const server_handle& server, const ip_addr& client) {
  if (!server.state) return 0;
  mutex_lock lock(server.state->mutex);
  auto it = server.state->active_by_addr.find(plain_ip(client));
  return it == server.state->active_by_addr.end() ? 0 : it->second;
}

scoped_server::scoped_server(const std::string& ip, uint16_t port)
    : handle(start_server(ip, port)) {}

scoped_server::scoped_server(const server_options& options) : handle(start_server(options)) {}

scoped_server::~scoped_server() {
  stop_server(&handle);
}
