// The listener's lifecycle: binding, starting the connection loops, live option changes, the
// stop, and what the owner of a server_handle may ask of it.
#include "server/server.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "lib/asys.h"
#include "server/listener_internal.h"

namespace {

using std::chrono::milliseconds;

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
    return state->places.active == 0;
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
  return server.state->places.active;
}

int connections_from(const server_handle& server, const ip_addr& client) {
  if (!server.state) return 0;
  mutex_lock lock(server.state->mutex);
  return places_held(server.state->places, plain_ip(client));
}

scoped_server::scoped_server(const std::string& ip, uint16_t port)
    : handle(start_server(ip, port)) {}

scoped_server::scoped_server(const server_options& options) : handle(start_server(options)) {}

scoped_server::~scoped_server() {
  stop_server(&handle);
}
