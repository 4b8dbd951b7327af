#include "server/server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "lib/asys.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "net/address.h"
#include "net/request.h"
#include "net/socket.h"
#include "server/routing.h"

// An accepted connection handed to an idle connection thread.
struct pending_connection {
  unique_fd conn;
  uint32_t addr = 0;
};

// Shared by the accept loop, every connection thread (each holds a reference, so a thread that
// outlives a stop still finds it) and the owner of the server_handle.
struct server_state {
  unique_fd listener;
  // A pipe whose read end turns readable when a stop begins: it wakes the accept loop and every
  // connection still waiting for its first byte.
  unique_fd wake_read;
  unique_fd wake_write;
  std::atomic<bool> stopping{false};
  // True from start until the accept loop ends (on a stop, or a listener that failed for good).
  std::atomic<bool> accepting{false};

  std::mutex mutex;
  std::condition_variable connection_ended;
  int active = 0;                          // GUARDED_BY(mutex): connection threads running
  std::map<uint32_t, int> active_by_addr;  // GUARDED_BY(mutex): the same per peer address
  std::condition_variable work_ready;
  int idle = 0;                            // GUARDED_BY(mutex): threads waiting for a connection
  std::deque<pending_connection> pending;  // GUARDED_BY(mutex): handed over, not yet taken
};

namespace {

// Counts one connection thread against both limits for as long as it lives.
struct connection_slot {
  connection_slot(std::shared_ptr<server_state> s, uint32_t a) : state(std::move(s)), addr(a) {}
  ~connection_slot() {
    add_active_connections(-1);
    std::lock_guard<std::mutex> lock(state->mutex);
    --state->active;
    if (--state->active_by_addr[addr] == 0) state->active_by_addr.erase(addr);
    state->connection_ended.notify_all();
  }
  connection_slot(const connection_slot&) = delete;
  connection_slot& operator=(const connection_slot&) = delete;

  std::shared_ptr<server_state> state;
  uint32_t addr;
};

// Takes a place for a new connection from `addr`, or refuses when either limit is reached.
bool admit(server_state& state, uint32_t addr) {
  std::lock_guard<std::mutex> lock(state.mutex);
  int& from_addr = state.active_by_addr[addr];
  if (state.active >= max_connections || from_addr >= max_connections_per_addr) {
    count_connection_refused(state.active >= max_connections ? cap_kind::total
                                                             : cap_kind::per_address);
    if (from_addr == 0) state.active_by_addr.erase(addr);
    return false;
  }
  ++state.active;
  ++from_addr;
  add_active_connections(1);
  return true;
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

// The peer's IPv4 address (host byte order) as the router sees clients.
ip_addr client_address(uint32_t addr) {
  ip_addr out;
  for (int i = 0; i < 4; ++i) out.bytes[i] = static_cast<uint8_t>(addr >> (24 - 8 * i));
  return out;
}

// One connection: wait for the first byte, read the request, route it, send the reply, close.
void sthread(std::shared_ptr<server_state> state, unique_fd conn, uint32_t addr) {
  std::optional<connection_slot> slot(std::in_place, state, addr);
  try {
    wait_result first =
        wait_fd(conn.fd, POLLIN, state->wake_read.fd, deadline_after_ms(first_byte_timeout_ms));
    request_rec request;
    if (first != wait_result::ready || !read_request(conn.fd, &request)) {
      count_request(route_kind::unreadable, "none", outcome_kind::dropped);
      return;
    }
    const int64_t start = steady_ns();
    route_kind route = route_kind::not_found;
    std::optional<std::string> reply = route_request(request, client_address(addr), &route);
    if (reply && sock_send_all(conn.fd, *reply, deadline_after_ms(send_timeout_ms))) {
      count_bytes_sent(reply->size());
    }
    observe_request_duration(route, seconds_since_ns(start));
    // The place is free once the reply is out: the close below never waits, and a client that
    // reconnects as soon as it has the reply must not find its own last connection counted.
    slot.reset();
    close_connection(std::move(conn));
  } catch (...) {
    write_log("ERR", "Error in sthread", true);
  }
}

// Connection threads get a small stack: the request path keeps its data on the heap, and
// stacks this size are reused by the thread library instead of being mapped and unmapped for
// every connection (the default 8 MiB ones were a third of the cost of a short request).
constexpr size_t connection_stack_bytes = 256 * 1024;

struct connection_start {
  std::shared_ptr<server_state> state;
  unique_fd conn;
  uint32_t addr;
};

// Serves its first connection, then whatever connections the accept loop hands over while it
// waits idle, until none comes for idle_thread_keep_ms or a stop begins.
void connection_worker(std::shared_ptr<server_state> state, unique_fd conn, uint32_t addr) {
  for (;;) {
    sthread(state, std::move(conn), addr);
    std::unique_lock<std::mutex> lock(state->mutex);
    ++state->idle;
    state->work_ready.wait_for(lock, std::chrono::milliseconds(idle_thread_keep_ms),
                               [&] { return !state->pending.empty() || state->stopping; });
    --state->idle;
    if (state->pending.empty()) return;
    conn = std::move(state->pending.front().conn);
    addr = state->pending.front().addr;
    state->pending.pop_front();
  }
}

void* connection_main(void* arg) {
  std::unique_ptr<connection_start> start(static_cast<connection_start*>(arg));
  connection_worker(std::move(start->state), std::move(start->conn), start->addr);
  return nullptr;
}

// Gives `conn` to a thread waiting idle, if one is not already promised to an earlier one.
bool hand_to_idle_thread(server_state& state, unique_fd* conn, uint32_t addr) {
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.idle <= static_cast<int>(state.pending.size())) return false;
  state.pending.push_back(pending_connection{std::move(*conn), addr});
  state.work_ready.notify_one();
  return true;
}

// Starts a detached connection thread for `conn`. False (and `conn` closed) when no thread can be
// made.
bool start_connection_thread(std::shared_ptr<server_state> state, unique_fd conn, uint32_t addr) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, connection_stack_bytes);
  auto start =
      std::make_unique<connection_start>(connection_start{std::move(state), std::move(conn), addr});
  pthread_t thread;
  bool started = pthread_create(&thread, &attr, connection_main, start.get()) == 0;
  pthread_attr_destroy(&attr);
  if (started) start.release();  // connection_main owns it now
  return started;
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

// The accept loop. Ends when a stop begins or the listener fails for good ("Boom...").
void mainthread(std::shared_ptr<server_state> state) {
  struct ended_guard {
    std::atomic<bool>& flag;
    ~ended_guard() { flag = false; }
  } ended{state->accepting};
  try {
    for (;;) {
      auto forever = std::chrono::steady_clock::time_point::max();
      wait_result ready = wait_fd(state->listener.fd, POLLIN, state->wake_read.fd, forever);
      if (ready == wait_result::woken || state->stopping) return;
      int fd =
          retry_eintr([&] { return accept4(state->listener.fd, nullptr, nullptr, SOCK_CLOEXEC); });
      if (fd < 0) {
        int err = errno;
        if (!accept_error_is_transient(err)) {
          write_log("SYS", errno_message("accept", "listener"));
          write_log("SYS", "Boom...");
          return;
        }
        // Out of descriptors or memory: give the connections in flight a moment to end.
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) sleep_ms(10);
        continue;
      }
      unique_fd conn(fd);
      uint32_t addr = sock_peer_addr(fd);
      if (!admit(*state, addr)) continue;  // closed at once
      if (hand_to_idle_thread(*state, &conn, addr)) continue;
      if (!start_connection_thread(state, std::move(conn), addr)) {
        // No thread to be had: the connection is dropped and its place given back.
        connection_slot give_back(state, addr);
      }
    }
  } catch (...) {
    write_log("ERR", "Error in mainthread", true);
  }
}

}  // namespace

server_handle start_server(const std::string& ip, uint16_t port) {
  auto state = std::make_shared<server_state>();
  state->listener = sock_listen(ip, port);
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw io_error(errno_message("pipe", "stop signal"));
  state->wake_read = unique_fd(pipe_fds[0]);
  state->wake_write = unique_fd(pipe_fds[1]);
  server_handle server;
  server.port = sock_local_port(state->listener.fd);
  server.state = state;
  state->accepting = true;
  server.accept_thread = std::thread(mainthread, state);
  return server;
}

bool stop_server(server_handle* server) {
  std::shared_ptr<server_state> state = std::move(server->state);
  if (!state) return true;
  state->stopping = true;
  {
    // Taken so that no idle thread can miss the wake-up between its check and its wait.
    std::lock_guard<std::mutex> lock(state->mutex);
  }
  state->work_ready.notify_all();
  char wake = 1;
  (void)!write(state->wake_write.fd, &wake, 1);
  if (server->accept_thread.joinable()) server->accept_thread.join();
  state->listener = unique_fd();  // new connections are refused from here on
  std::unique_lock<std::mutex> lock(state->mutex);
  return state->connection_ended.wait_for(lock, std::chrono::milliseconds(stop_grace_ms),
                                          [&] { return state->active == 0; });
}

bool server_accepting(const server_handle& server) {
  return server.state && server.state->accepting;
}

int active_connections(const server_handle& server) {
  if (!server.state) return 0;
  std::lock_guard<std::mutex> lock(server.state->mutex);
  return server.state->active;
}

scoped_server::scoped_server(const std::string& ip, uint16_t port)
    : handle(start_server(ip, port)) {}

scoped_server::~scoped_server() {
  stop_server(&handle);
}
