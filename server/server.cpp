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
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <thread>

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

namespace {

// The places one connection holds: one of the total from admission on, and one of its client's
// from when the client is known. Given back at the latest when the connection ends.
struct connection_slot {
  explicit connection_slot(std::shared_ptr<server_state> s) : state(std::move(s)) {}
  ~connection_slot() { release(); }
  connection_slot(const connection_slot&) = delete;
  connection_slot& operator=(const connection_slot&) = delete;

  void release();

  std::shared_ptr<server_state> state;
  bool counted = false;         // against the total
  bool counted_client = false;  // against `client`'s cap
  ip_addr client;
};

// One connection from its accept to its close. A connection loop owns it while the request is
// read and while a reply routed there is sent; a worker takes it over for good when routing may
// wait, or when its client's place must be waited for.
struct connection {
  explicit connection(std::shared_ptr<server_state> state) : slot(std::move(state)) {}

  unique_fd fd;
  // Declared after `fd`, so that on every path the places are given back before the close.
  connection_slot slot;
  ip_addr peer;  // unreadable: 0.0.0.0
  bool proxied = false;
  // The options it was admitted with.
  std::shared_ptr<const server_options> options;

  std::string received;  // the request's bytes so far
  size_t wanted = 0;     // what the request takes, once its head is in (0: not yet)
  // Read and waiting for a worker to route it; none: the worker serves it from the start.
  std::optional<request_rec> request;
  ip_addr client;

  shared_reply reply;  // being sent by a loop
  size_t sent = 0;
  route_kind route = route_kind::not_found;
  int64_t start_ns = 0;  // when routing began

  steady_time deadline;  // of the current wait (first byte, head, body or send)
};

}  // namespace

// Shared by the connection loops and workers (each holds a reference, so one that outlives a
// stop still finds it) and the owner of the server_handle.
struct server_state {
  // Filled before the first loop starts; after that read only with `mutex` held and a stop not
  // begun (or by a loop still counted in `accepting`), and closed by stop_server with `mutex`
  // held once no loop watches them.
  std::vector<unique_fd> listeners;
  // A pipe whose read end turns readable when a stop begins: it wakes every loop and every
  // connection a worker is still waiting on for its first byte.
  unique_fd wake_read;
  unique_fd wake_write;
  std::atomic<bool> stopping{false};
  std::atomic<bool> listener_failed{false};  // accept failed for good ("Boom...")

  // Held by the loop accepting a connection until it is admitted. Taken before `mutex`.
  annotated_mutex accept_mutex;
  annotated_mutex mutex;
  // Notified when a connection, a loop or a worker ends, and when a place is given back.
  std::condition_variable changed;
  // Notified when a connection is handed to the workers, and at a stop.
  std::condition_variable work_ready;
  // Replaced whole by update_server_options, never changed in place: a connection keeps the
  // one it was admitted with.
  std::shared_ptr<const server_options> options GUARDED_BY(mutex);
  int active GUARDED_BY(mutex) = 0;                                       // connections admitted
  std::map<ip_addr, int, ip_addr_less> active_by_addr GUARDED_BY(mutex);  // the same per client
  int waiting_for_place GUARDED_BY(mutex) = 0;  // connections waiting for a per-address place
  int loops GUARDED_BY(mutex) = 0;              // connection loops running
  int accepting GUARDED_BY(mutex) = 0;          // loops still watching the listeners
  std::deque<std::unique_ptr<connection>> jobs GUARDED_BY(mutex);  // handed to the workers
  int workers GUARDED_BY(mutex) = 0;                               // worker threads alive
  int idle_workers GUARDED_BY(mutex) = 0;                          // ...of them waiting for a job
};

namespace {

using std::chrono::milliseconds;

// Loops and workers get a small stack: the request path keeps its data on the heap, and stacks
// this size are reused by the thread library instead of being mapped and unmapped for every
// thread (the default 8 MiB ones were a third of the cost of a short request).
constexpr size_t thread_stack_bytes = 256 * 1024;

// Connections a loop accepts at one wake-up before it serves the ones it has.
constexpr int accepts_per_wake = 16;

// The epoll tag of the stop pipe; listeners are tagged with their index, connections with their
// address.
constexpr uint64_t wake_tag = UINT64_MAX;

void connection_slot::release() {
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
  // Waiting holds a worker and a total place, so only a few may wait at once.
  if (state.waiting_for_place >= cap) return false;
  ++state.waiting_for_place;
  lock.wait_for(state.changed, milliseconds(place_wait_ms), [&] {
    state.mutex.assert_held();
    return state.stopping || try_take_client_place(state, slot, client, cap);
  });
  --state.waiting_for_place;
  return slot->counted_client;
}

// Closes after the reply: what the client still sent is drained first, so that unread bytes do
// not turn the close into a reset that could destroy the reply in flight.
void close_connection(unique_fd conn) {
  std::string discard;
  for (int i = 0; i < 16; ++i) {
    discard.clear();
    if (sock_recv_some(conn.fd, &discard, recv_chunk_bytes) != recv_result::data) break;
  }
}

// Starts a detached thread running `run` with its own reference to the state. False when no
// thread can be made.
bool start_thread(const std::shared_ptr<server_state>& state,
                  void (*run)(const std::shared_ptr<server_state>&)) {
  struct start_rec {
    std::shared_ptr<server_state> state;
    void (*run)(const std::shared_ptr<server_state>&);
  };
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, thread_stack_bytes);
  auto arg = std::make_unique<start_rec>(start_rec{state, run});
  pthread_t thread;
  bool started = pthread_create(
                     &thread, &attr,
                     [](void* p) -> void* {
                       std::unique_ptr<start_rec> rec(static_cast<start_rec*>(p));
                       rec->run(rec->state);
                       return nullptr;
                     },
                     arg.get()) == 0;
  pthread_attr_destroy(&attr);
  if (started) arg.release();  // the thread owns it now
  return started;
}

// Admits the connection just accepted, or closes it when the server is full. A client below its
// cap takes its place at once.
void admit(server_state& state, connection* conn) REQUIRES(state.mutex) {
  conn->options = state.options;
  const server_options& options = *conn->options;
  if (state.active >= options.max_connections) {
    count_connection_refused(cap_kind::total);
    conn->fd = unique_fd();  // closed at once
    return;
  }
  ++state.active;
  add_active_connections(1);
  conn->slot.counted = true;
  // A proxy's connection is counted against its client once the request names it.
  conn->proxied = is_trusted(conn->peer, options.trusted_proxies);
  conn->client = conn->peer;
  if (!conn->proxied) {
    try_take_client_place(state, &conn->slot, conn->peer, options.max_connections_per_addr);
  }
}

// Takes a place for the connection's client, waiting for one if need be. False (counted as a
// refusal) when none came free.
bool take_place(server_state& state, connection& conn) {
  mutex_lock lock(state.mutex);
  if (take_client_place(state, lock, &conn.slot, conn.client,
                        conn.options->max_connections_per_addr)) {
    return true;
  }
  count_connection_refused(cap_kind::per_address);
  return false;
}

// Routes the request and sends the reply, waiting as long as the send time-out allows, then
// closes. The caller holds the connection's places.
void route_and_send(connection& conn) {
  conn.start_ns = steady_ns();
  const shared_reply reply = route_request(*conn.request, conn.client, &conn.route);
  if (reply &&
      sock_send_pieces(conn.fd.fd, *reply, deadline_after_ms(conn.options->send_timeout_ms))) {
    count_bytes_sent(reply->size);
  }
  observe_request_duration(conn.route, seconds_since_ns(conn.start_ns));
  // The places are free once the reply is out: the close below never waits.
  conn.slot.release();
  close_connection(std::move(conn.fd));
}

// A worker's connection: wait for its client's place if need be; read the request as far as a
// loop has not; route it, send the reply, close.
void serve_on_worker(server_state& state, connection& conn) {
  const server_options& options = *conn.options;
  if (!conn.proxied && !conn.slot.counted_client && !take_place(state, conn)) return;
  if (!conn.request) {
    if (conn.received.empty() &&
        wait_fd(conn.fd.fd, POLLIN, state.wake_read.fd,
                deadline_after_ms(options.first_byte_timeout_ms)) != wait_result::ready) {
      count_request(route_kind::unreadable, "none", outcome_kind::dropped);
      return;
    }
    request_rec request;
    if (!read_request(conn.fd.fd, &request, request_timeout_ms, std::move(conn.received))) {
      count_request(route_kind::unreadable, "none", outcome_kind::dropped);
      return;
    }
    conn.request = std::move(request);
    // A loop that read the request has found its client already.
    if (conn.proxied) {
      conn.client = client_address(conn.peer, conn.request->forwarded_for, options.trusted_proxies);
    }
  }
  if (conn.proxied && !conn.slot.counted_client && !take_place(state, conn)) return;
  route_and_send(conn);
}

void worker_thread(const std::shared_ptr<server_state>& state) {
  for (;;) {
    std::unique_ptr<connection> job;
    {
      mutex_lock lock(state->mutex);
      ++state->idle_workers;
      lock.wait_for(state->work_ready, milliseconds(idle_thread_keep_ms), [&] {
        state->mutex.assert_held();
        return !state->jobs.empty() || state->stopping;
      });
      --state->idle_workers;
      if (state->jobs.empty()) {
        --state->workers;
        state->changed.notify_all();
        return;
      }
      job = std::move(state->jobs.front());
      state->jobs.pop_front();
    }
    try {
      serve_on_worker(*state, *job);
    } catch (...) {
      write_log("ERR", "Error in sthread", true);
    }
  }
}

// Gives the connection to a worker: an idle one, or one started for it.
void hand_to_worker(const std::shared_ptr<server_state>& state, std::unique_ptr<connection> conn) {
  bool start = false;
  {
    mutex_lock lock(state->mutex);
    state->jobs.push_back(std::move(conn));
    if (static_cast<size_t>(state->idle_workers) < state->jobs.size()) {
      ++state->workers;
      start = true;
    }
  }
  state->work_ready.notify_one();
  if (!start || start_thread(state, worker_thread)) return;
  // No thread to be had: the workers alive take it in turn; with none, it is served here.
  std::unique_ptr<connection> last;
  {
    mutex_lock lock(state->mutex);
    if (--state->workers > 0 || state->jobs.empty()) return;
    last = std::move(state->jobs.back());
    state->jobs.pop_back();
  }
  serve_on_worker(*state, *last);
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

// One connection loop: it accepts connections, reads their requests, routes those that never
// wait on a disk or a game's lock and sends their replies, all without blocking, so that one
// thread per core serves every such connection; the rest it hands to the workers.
struct conn_loop {
  std::shared_ptr<server_state> state;
  unique_fd set;
  std::vector<int> listeners;  // watched until a stop or a failure
  bool watching = false;
  std::map<connection*, std::unique_ptr<connection>> conns;
  std::set<std::pair<steady_time, connection*>> timers;  // each connection's current deadline
};

void set_deadline(conn_loop& loop, connection* conn, steady_time deadline) {
  loop.timers.erase({conn->deadline, conn});
  conn->deadline = deadline;
  loop.timers.insert({deadline, conn});
}

// Takes the connection out of the loop and, unless it is about to be closed (which does that),
// its descriptor out of the wait set.
std::unique_ptr<connection> take_out(conn_loop& loop, connection* conn, bool closing = false) {
  loop.timers.erase({conn->deadline, conn});
  if (!closing) epoll_ctl(loop.set.fd, EPOLL_CTL_DEL, conn->fd.fd, nullptr);
  auto it = loop.conns.find(conn);
  std::unique_ptr<connection> owned = std::move(it->second);
  loop.conns.erase(it);
  return owned;
}

// Ends a connection of the loop: places given back, then the close.
void end_connection(conn_loop& loop, connection* conn) {
  std::unique_ptr<connection> owned = take_out(loop, conn, true);
  if (owned->start_ns != 0) {
    observe_request_duration(owned->route, seconds_since_ns(owned->start_ns));
  }
  owned->slot.release();
  close_connection(std::move(owned->fd));
}

void drop_unreadable(conn_loop& loop, connection* conn) {
  count_request(route_kind::unreadable, "none", outcome_kind::dropped);
  end_connection(loop, conn);
}

// Sends what the socket takes of the reply; ends the connection once all of it is out or the
// peer is gone. True while more remains to be sent.
bool send_some(conn_loop& loop, connection* conn) {
  switch (sock_send_some(conn->fd.fd, *conn->reply, &conn->sent)) {
    case send_progress::done:
      count_bytes_sent(conn->reply->size);
      end_connection(loop, conn);
      return false;
    case send_progress::failed:
      end_connection(loop, conn);
      return false;
    case send_progress::blocked:
      break;
  }
  return true;
}

// Starts sending the reply routed here; what the socket does not take at once is sent as it
// drains, within the send time-out.
void start_reply(conn_loop& loop, connection* conn, shared_reply reply) {
  if (!reply) {
    end_connection(loop, conn);
    return;
  }
  conn->reply = std::move(reply);
  if (!send_some(loop, conn)) return;
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.u64 = reinterpret_cast<uint64_t>(conn);
  // Not watched yet when the reply was routed straight after the accept: add_connection adds it.
  epoll_ctl(loop.set.fd, EPOLL_CTL_MOD, conn->fd.fd, &ev);
  set_deadline(loop, conn, deadline_after_ms(conn->options->send_timeout_ms));
}

// The request has been read as far as it goes: parse it, then route it here or on a worker.
void request_read(conn_loop& loop, connection* conn) {
  count_bytes_received(conn->received.size());
  request_rec request;
  if (conn->received.empty() || !finish_request(conn->received, &request)) {
    drop_unreadable(loop, conn);
    return;
  }
  conn->received = std::string();
  const server_options& options = *conn->options;
  bool placed = true;
  if (conn->proxied) {
    // The address the cap counts is the one logs and metrics see.
    conn->client = client_address(conn->peer, request.forwarded_for, options.trusted_proxies);
    mutex_lock lock(loop.state->mutex);
    placed = try_take_client_place(*loop.state, &conn->slot, conn->client,
                                   options.max_connections_per_addr);
  }
  const bool may_wait = route_may_wait(request.path);
  conn->request = std::move(request);
  if (!placed || may_wait) {
    hand_to_worker(loop.state, take_out(loop, conn));
    return;
  }
  conn->start_ns = steady_ns();
  start_reply(loop, conn, route_request(*conn->request, conn->client, &conn->route));
}

// Reads what has arrived; once the request is complete (or its client has stopped sending),
// goes on with it.
void read_some(conn_loop& loop, connection* conn) {
  const bool first = conn->received.empty();
  recv_result got = recv_result::data;
  while (got == recv_result::data) {
    got = sock_recv_some(conn->fd.fd, &conn->received, recv_chunk_bytes);
    if (conn->wanted == 0) {
      conn->wanted = request_bytes_wanted(conn->received);
      // An upload is read by the worker that will store it: the loops read only what they
      // answer, so that they stay free for the short requests however many uploads arrive.
      if (conn->wanted > conn->received.size()) {
        if (route_may_wait(parse_request_head(conn->received).path)) {
          hand_to_worker(loop.state, take_out(loop, conn));
          return;
        }
        set_deadline(loop, conn, deadline_after_ms(request_timeout_ms));  // for the body
      }
    }
    const bool complete = conn->wanted > 0 ? conn->received.size() >= conn->wanted
                                           : conn->received.size() > max_header_bytes;
    if (complete) got = recv_result::closed;
  }
  if (got == recv_result::closed) {
    request_read(loop, conn);
  } else if (first && !conn->received.empty()) {
    set_deadline(loop, conn, deadline_after_ms(request_timeout_ms));
  }
}

// Handles one event on a connection; a fault in it ends that connection, not the loop.
void on_connection_event(conn_loop& loop, connection* conn) {
  try {
    if (conn->reply) {
      (void)send_some(loop, conn);
    } else {
      read_some(loop, conn);
    }
  } catch (...) {
    write_log("ERR", "Error in sthread", true);
    if (loop.conns.count(conn) != 0) end_connection(loop, conn);
  }
}

// A connection admitted by this loop: watched for its request, or handed to a worker to wait
// for its client's place.
void add_connection(conn_loop& loop, std::unique_ptr<connection> conn) {
  if (!conn->proxied && !conn->slot.counted_client) {
    hand_to_worker(loop.state, std::move(conn));
    return;
  }
  connection* c = conn.get();
  loop.conns.emplace(c, std::move(conn));
  c->deadline = deadline_after_ms(c->options->first_byte_timeout_ms);
  loop.timers.insert({c->deadline, c});
  // On a busy server the request has mostly arrived by the time its connection is accepted:
  // reading it at once spares the wait set a descriptor and the loop a wake-up.
  on_connection_event(loop, c);
  if (loop.conns.count(c) == 0) return;  // answered, or handed to a worker
  epoll_event ev{};
  ev.events = c->reply ? EPOLLOUT : EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = reinterpret_cast<uint64_t>(c);
  if (epoll_ctl(loop.set.fd, EPOLL_CTL_ADD, c->fd.fd, &ev) != 0) end_connection(loop, c);
}

// Stops watching the listeners (a stop, or a listener failed for good) and, at a stop, closes
// the connections still waiting for their first byte.
void stop_watching(conn_loop& loop) {
  if (!loop.watching) return;
  loop.watching = false;
  for (int fd : loop.listeners) epoll_ctl(loop.set.fd, EPOLL_CTL_DEL, fd, nullptr);
  epoll_ctl(loop.set.fd, EPOLL_CTL_DEL, loop.state->wake_read.fd, nullptr);
  {
    mutex_lock lock(loop.state->mutex);
    --loop.state->accepting;
  }
  loop.state->changed.notify_all();  // stop_server waits for no loop to be watching
  if (!loop.state->stopping) return;
  std::vector<connection*> silent;
  for (auto& [conn, owned] : loop.conns) {
    if (!conn->reply && conn->received.empty()) silent.push_back(conn);
  }
  for (connection* conn : silent) drop_unreadable(loop, conn);
}

// Fails the listeners for good: logged once, every loop stops accepting.
void listener_failed(conn_loop& loop, int err) {
  if (!loop.state->listener_failed.exchange(true)) {
    errno = err;
    write_log("SYS", errno_message("accept", "listener"));
    write_log("SYS", "Boom...");
  }
  stop_watching(loop);
}

// Accepts one connection from listener `index` into *conn and admits it. Returns 0, or the
// accept's errno (*conn then stays empty); EAGAIN too when a stop has begun.
int accept_one(server_state& state, conn_loop& loop, size_t index,
               std::unique_ptr<connection>* conn) REQUIRES(state.accept_mutex) {
  sockaddr_storage peer{};
  socklen_t peer_len = sizeof peer;
  int fd = retry_eintr([&] {
    return accept4(loop.listeners[index], reinterpret_cast<sockaddr*>(&peer), &peer_len,
                   SOCK_CLOEXEC | SOCK_NONBLOCK);
  });
  if (fd < 0) return errno;
  *conn = std::make_unique<connection>(loop.state);
  (*conn)->fd = unique_fd(fd);
  ip_endpoint from;
  if (endpoint_from_sockaddr(reinterpret_cast<sockaddr*>(&peer), peer_len, &from)) {
    (*conn)->peer = plain_ip(from.addr);
  }
  mutex_lock lock(state.mutex);
  if (state.stopping) {
    conn->reset();  // closed unserved, as the listener is about to be
    return EAGAIN;
  }
  admit(state, conn->get());
  return 0;
}

// Accepts what is waiting on listener `index`, a few connections at a time.
void accept_some(conn_loop& loop, size_t index) {
  server_state& state = *loop.state;
  for (int i = 0; i < accepts_per_wake; ++i) {
    if (state.stopping) return;  // left to the listener's close
    // One loop accepts at a time and admits each connection before the next accept, so that
    // connections take their places in the order they were accepted, whichever loop takes them.
    // A loop that finds another accepting goes back to its own connections: the listener stays
    // ready and its next wait reports it again.
    if (!state.accept_mutex.try_lock()) return;
    std::unique_ptr<connection> conn;
    int err = 0;
    try {
      err = accept_one(state, loop, index, &conn);
    } catch (...) {
      state.accept_mutex.unlock();
      throw;
    }
    state.accept_mutex.unlock();
    if (err == EAGAIN || err == EWOULDBLOCK) return;  // taken by another loop, or none left
    if (err != 0) {
      if (!accept_error_is_transient(err)) return listener_failed(loop, err);
      // Out of descriptors or memory: give the connections in flight a moment to end.
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) sleep_ms(10);
      return;
    }
    if (conn->fd.fd >= 0) add_connection(loop, std::move(conn));
  }
}

// The connections whose deadline has passed: one silent since its accept is dropped, a request
// cut off by its time-out is taken as it stands, a reply not sent in time is given up.
void expire(conn_loop& loop) {
  const steady_time now = std::chrono::steady_clock::now();
  while (!loop.timers.empty() && loop.timers.begin()->first <= now) {
    connection* conn = loop.timers.begin()->second;
    if (conn->reply) {
      end_connection(loop, conn);
    } else if (conn->received.empty()) {
      drop_unreadable(loop, conn);
    } else {
      request_read(loop, conn);
    }
  }
}

// How long the loop may wait for events: until the next deadline (-1: none).
int wait_ms(const conn_loop& loop) {
  if (loop.timers.empty()) return -1;
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      loop.timers.begin()->first - std::chrono::steady_clock::now());
  // Rounded up so that a deadline a fraction of a millisecond away is not spun on.
  return static_cast<int>(std::clamp<int64_t>((left.count() + 999) / 1000, 0, 60 * 60 * 1000));
}

// This loop's wait set: every listener, each waking one loop for one connection
// (EPOLLEXCLUSIVE), and the stop pipe, which wakes them all.
// REQUIRES: the stop has not begun (stop_server closes the listeners under this lock).
bool watch_listeners(server_state& state, conn_loop& loop) REQUIRES(state.mutex) {
  for (size_t i = 0; i < state.listeners.size(); ++i) {
    loop.listeners.push_back(state.listeners[i].fd);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.u64 = i;
    if (epoll_ctl(loop.set.fd, EPOLL_CTL_ADD, state.listeners[i].fd, &ev) != 0) return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = wake_tag;
  return epoll_ctl(loop.set.fd, EPOLL_CTL_ADD, state.wake_read.fd, &ev) == 0;
}

void run_loop(conn_loop& loop) {
  epoll_event events[64];
  while (loop.watching || !loop.conns.empty()) {
    int n = retry_eintr([&] { return epoll_wait(loop.set.fd, events, 64, wait_ms(loop)); });
    for (int i = 0; i < n; ++i) {
      const uint64_t tag = events[i].data.u64;
      if (tag == wake_tag) {
        stop_watching(loop);
      } else if (tag < loop.listeners.size()) {
        if (loop.watching) accept_some(loop, tag);
      } else {
        auto* conn = reinterpret_cast<connection*>(tag);
        // An earlier event of this round may have ended it.
        if (loop.conns.count(conn) != 0) on_connection_event(loop, conn);
      }
    }
    if (loop.watching && loop.state->listener_failed) stop_watching(loop);
    expire(loop);
  }
}

void loop_thread(const std::shared_ptr<server_state>& state) {
  conn_loop loop;
  loop.state = state;
  try {
    loop.set = unique_fd(epoll_create1(EPOLL_CLOEXEC));
    {
      mutex_lock lock(state->mutex);
      loop.watching = !state->stopping && loop.set.fd >= 0 && watch_listeners(*state, loop);
      if (!loop.watching) --state->accepting;
    }
    run_loop(loop);
  } catch (...) {
    write_log("ERR", "Error in sthread", true);
  }
  // Whatever a fault left behind is ended the plain way.
  while (!loop.conns.empty()) end_connection(loop, loop.conns.begin()->first);
  if (loop.watching) {
    mutex_lock lock(state->mutex);
    --state->accepting;
  }
  mutex_lock lock(state->mutex);
  --state->loops;
  state->changed.notify_all();
}

// One loop per core, and at least two, so that a loop busy with a long list is never the only
// one accepting.
int loop_count() {
  return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 2, 16);
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
    // Several loops wait on it: the one that loses the race must not block in accept.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    server.ports.push_back(sock_local_port(fd));
  }
  server.port = server.ports.front();
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw io_error(errno_message("pipe", "stop signal"));
  state->wake_read = unique_fd(pipe_fds[0]);
  state->wake_write = unique_fd(pipe_fds[1]);
  const int loops = loop_count();
  {
    mutex_lock lock(state->mutex);
    state->options = std::move(running);
    state->loops = state->accepting = loops;
  }
  for (int i = 0; i < loops; ++i) {
    if (start_thread(state, loop_thread)) continue;
    // The loops started see the stop and end; the listeners close with the state.
    {
      mutex_lock lock(state->mutex);
      state->loops -= loops - i;
      state->accepting -= loops - i;
    }
    server_handle failed;
    failed.state = std::move(state);
    stop_server(&failed);
    throw io_error("no thread for the listener");
  }
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
  state->work_ready.notify_all();
  char wake = 1;
  (void)!write(state->wake_write.fd, &wake, 1);
  mutex_lock lock(state->mutex);
  // Every loop wakes at once on the pipe and stops watching the listeners.
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
  return !server.state->stopping && !server.state->listener_failed && server.state->loops > 0;
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
