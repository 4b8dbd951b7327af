// The worker pool: threads that serve a connection the blocking way to its close, for the
// requests that may wait on a disk or a game's lock and for connections whose client must wait
// for a place. Workers are started when every one is busy and end after idle_thread_keep_ms
// idle.
#include <poll.h>
#include <pthread.h>

#include <chrono>

#include "lib/asys.h"
#include "lib/log.h"
#include "net/forwarded.h"
#include "server/listener_internal.h"
#include "server/routing.h"

namespace {

using std::chrono::milliseconds;

// How long a worker that has finished its connection waits for the next one before it ends: a
// busy server then reuses its workers instead of making one per request.
constexpr int idle_thread_keep_ms = 2000;
// How long a connection from an address at its cap waits for one of that address's places to
// come free before it is closed. A client that reconnects the moment its reply has arrived can
// be faster than the loop or worker that sent it is at giving its place back.
constexpr int place_wait_ms = 1000;

// Loops and workers get a small stack: the request path keeps its data on the heap, and stacks
// this size are reused by the thread library instead of being mapped and unmapped for every
// thread (the default 8 MiB ones were a third of the cost of a short request).
constexpr size_t thread_stack_bytes = 256 * 1024;

// The same as try_take_client_place, but when the address is at its cap, waits up to
// place_wait_ms for one of its places to come free. False when none did (or a stop began).
bool take_client_place(server_state& state, mutex_lock& lock, connection_slot* slot,
                       const ip_addr& client, int cap) REQUIRES(state.mutex) {
  if (try_take_client_place(state, slot, client, cap)) return true;
  // Waiting holds a worker and a total place, so only a few may wait at once.
  if (!may_wait_for_place(state.places, cap)) return false;
  ++state.places.waiting_for_place;
  lock.wait_for(state.changed, milliseconds(place_wait_ms), [&] {
    state.mutex.assert_held();
    return state.stopping || try_take_client_place(state, slot, client, cap);
  });
  --state.places.waiting_for_place;
  return slot->counted_client;
}

// Takes a place for the connection's client, waiting for one if need be. False (counted as a
// refusal) when none came free.
bool take_place(server_state& state, connection& conn) {
  mutex_lock lock(state.mutex);
  if (take_client_place(state, lock, &conn.slot, conn.client,
                        conn.config->max_connections_per_addr)) {
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
      sock_send_pieces(conn.fd.fd, *reply, deadline_after_ms(ms_of(conn.config->send_timeout)))) {
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
  const zts_config& config = *conn.config;
  if (!conn.proxied && !conn.slot.counted_client && !take_place(state, conn)) return;
  if (!conn.request) {
    if (conn.received.empty() &&
        wait_fd(conn.fd.fd, POLLIN, state.wake_read.fd,
                deadline_after_ms(ms_of(config.first_byte_timeout))) != wait_result::ready) {
      count_request(route_kind::unreadable, "none", outcome_kind::dropped);
      return;
    }
    request_rec request;
    if (!read_request(conn.fd.fd, &request, request_timeout_ms, std::move(conn.received)) ||
        (request.head_only && !route_answers_head(request.path))) {
      count_request(route_kind::unreadable, "none", outcome_kind::dropped);
      return;
    }
    conn.request = std::move(request);
    // A loop that read the request has found its client already.
    if (conn.proxied) {
      conn.client = client_address(conn.peer, conn.request->forwarded_for, config.trusted_proxies);
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
      write_error_cause("Error in sthread", "worker", current_exception_text(), true);
    }
  }
}

}  // namespace

void connection_slot::release() {
  if (!counted) return;
  add_active_connections(-1);
  mutex_lock lock(state->mutex);
  give_back(&state->places, counted_client, client);
  counted = counted_client = false;
  state->changed.notify_all();
}

bool try_take_client_place(server_state& state, connection_slot* slot, const ip_addr& client,
                           int cap) {
  if (!take_client_place(&state.places, client, cap)) return false;
  slot->counted_client = true;
  slot->client = client;
  return true;
}

void close_connection(unique_fd conn) {
  std::string discard;
  for (int i = 0; i < 16; ++i) {
    discard.clear();
    if (sock_recv_some(conn.fd, &discard, recv_chunk_bytes) != recv_result::data) break;
  }
}

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
