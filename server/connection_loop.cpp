// The connection loops: one per core (at least two), each waiting on every listening socket and
// on the connections it has accepted, doing everything that never blocks: it accepts and admits,
// reads each request as its bytes arrive, answers op=777, the lists and the 404 page itself and
// sends those replies as the socket drains, then closes. A request that may wait on a disk or on
// a game's lock, or a connection whose client must wait for a place, goes to the workers.
#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "lib/asys.h"
#include "lib/log.h"
#include "net/forwarded.h"
#include "server/listener_internal.h"
#include "server/routing.h"

namespace {

// Connections a loop accepts at one wake-up before it serves the ones it has.
constexpr int accepts_per_wake = 16;

// The epoll tag of the stop pipe; listeners are tagged with their index, connections with their
// address.
constexpr uint64_t wake_tag = UINT64_MAX;

// Admits the connection just accepted, or closes it when the server is full. A client below its
// cap takes its place at once.
void admit(server_state& state, connection* conn) REQUIRES(state.mutex) {
  const zts_config& config = *conn->config;
  const admit_decision d = admit_peer(&state.places, conn->peer, config.max_connections,
                                      config.max_connections_per_addr, config.trusted_proxies);
  if (!d.admitted) {
    count_connection_refused(cap_kind::total);
    conn->fd = unique_fd();  // closed at once
    return;
  }
  add_active_connections(1);
  conn->slot.counted = true;
  conn->proxied = d.proxied;
  conn->client = conn->peer;
  if (d.client_counted) {
    conn->slot.counted_client = true;
    conn->slot.client = conn->peer;
  }
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
  set_deadline(loop, conn, deadline_after_ms(ms_of(conn->config->send_timeout)));
}

// The request has been read as far as it goes: parse it, then route it here or on a worker.
void request_read(conn_loop& loop, connection* conn) {
  count_bytes_received(conn->received.size());
  request_rec request;
  if (conn->received.empty() || !finish_request(conn->received, &request) ||
      (request.head_only && !route_answers_head(request.path))) {
    drop_unreadable(loop, conn);
    return;
  }
  conn->received = std::string();
  const zts_config& config = *conn->config;
  bool placed = true;
  if (conn->proxied) {
    // The address the cap counts is the one logs and metrics see.
    conn->client = client_address(conn->peer, request.forwarded_for, config.trusted_proxies);
    mutex_lock lock(loop.state->mutex);
    placed = try_take_client_place(*loop.state, &conn->slot, conn->client,
                                   config.max_connections_per_addr);
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
    write_error_cause("Error in sthread", "connection", current_exception_text(), true);
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
  c->deadline = deadline_after_ms(ms_of(c->config->first_byte_timeout));
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
  // Taken once per connection: it is served with this configuration to its end.
  (*conn)->config = current_config();
  if ((*conn)->config->max_connections > state.descriptors_for) {
    state.descriptors_for = (*conn)->config->max_connections;
    make_room_for_descriptors(state.descriptors_for);
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

}  // namespace

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
    write_error_cause("Error in sthread", "connection loop", current_exception_text(), true);
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
