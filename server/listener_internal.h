// What the listener's three parts share: the state behind a server_handle, one connection's
// record, and the calls between the connection loops (connection_loop.cpp), the worker pool
// (workers.cpp) and the lifecycle (server.cpp). Not for use outside the listener.
//
// Lock order: `accept_mutex`, then `mutex`. Neither is held while routing or sending.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/file_io.h"
#include "lib/metrics.h"
#include "lib/mutex.h"
#include "net/request.h"
#include "net/socket.h"
#include "server/admission.h"
#include "server/config.h"
#include "server/server.h"

// The places one connection holds: one of the total from admission on, and one of its client's
// from when the client is known. Given back at the latest when the connection ends.
struct connection_slot {
  explicit connection_slot(std::shared_ptr<server_state> s) : state(std::move(s)) {}
  ~connection_slot() { release(); }
  connection_slot(const connection_slot&) = delete;
  connection_slot& operator=(const connection_slot&) = delete;

  // Gives back what is held (nothing the second time). Takes state->mutex.
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
  // The configuration it was admitted with: its caps, time-outs and trusted proxies.
  std::shared_ptr<const zts_config> config;

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
  // The connection cap the descriptor limit was last raised for.
  int descriptors_for GUARDED_BY(accept_mutex) = 0;
  admission places GUARDED_BY(mutex);
  int loops GUARDED_BY(mutex) = 0;      // connection loops running
  int accepting GUARDED_BY(mutex) = 0;  // loops still watching the listeners
  std::deque<std::unique_ptr<connection>> jobs GUARDED_BY(mutex);  // handed to the workers
  int workers GUARDED_BY(mutex) = 0;                               // worker threads alive
  int idle_workers GUARDED_BY(mutex) = 0;                          // ...of them waiting for a job
};

// Counts the connection against `client`'s cap when that address is below it.
bool try_take_client_place(server_state& state, connection_slot* slot, const ip_addr& client,
                           int cap) REQUIRES(state.mutex);

// Closes after the reply: what the client still sent is drained first, so that unread bytes do
// not turn the close into a reset that could destroy the reply in flight.
void close_connection(unique_fd conn);

// Starts a detached thread (with a small stack) running `run` with its own reference to the
// state. False when no thread can be made.
bool start_thread(const std::shared_ptr<server_state>& state,
                  void (*run)(const std::shared_ptr<server_state>&));

// Gives the connection to a worker: an idle one, or one started for it; with no thread to be
// had and no worker alive, serves it on the calling thread.
void hand_to_worker(const std::shared_ptr<server_state>& state, std::unique_ptr<connection> conn);

// The milliseconds of a configured duration, as the socket calls take them.
inline int64_t ms_of(std::chrono::milliseconds d) {
  return d.count();
}

// Each connection holds its socket, its thread's wait set and now and then a file: the usual
// soft limit of 1024 descriptors would stop accepting before the connection cap is reached.
// Raises the soft limit toward the hard one when it is lower than `connections` need.
void make_room_for_descriptors(int connections);

// One connection loop, from watching the listeners to its last connection's end. Started once
// per loop by start_server; counted in state->loops and state->accepting.
void loop_thread(const std::shared_ptr<server_state>& state);
