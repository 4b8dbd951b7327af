// The listener's lifecycle: binding, starting the connection loops, the stop, and what the owner
// of a server_handle may ask of it.
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

// `listen`, or the default (see default_listen).
std::vector<ip_endpoint> listen_endpoints(const std::vector<ip_endpoint>& listen) {
  if (!listen.empty()) return listen;
  return {default_listen(host_addresses())};
}

bool is_loopback(const std::string& ip) {
  ip_addr addr;
  return parse_ip(ip, &addr) && !addr.v6 && addr.bytes[0] == 127;
}

}  // namespace

ip_endpoint default_listen(const std::vector<std::string>& host_ips) {
  ip_endpoint ep;
  ep.port = 80;
  const bool reachable = std::any_of(host_ips.begin(), host_ips.end(),
                                     [](const std::string& ip) { return !is_loopback(ip); });
  // Only loopback (Debian maps the host name to 127.0.1.1): no player could connect there.
  if (!reachable || !parse_ip(host_ips.front(), &ep.addr)) parse_ip("0.0.0.0", &ep.addr);
  return ep;
}

void make_room_for_descriptors(int connections) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return;
  rlim_t wanted = static_cast<rlim_t>(connections) * 3 + 64;
  if (files.rlim_cur >= wanted) return;
  files.rlim_cur = std::min(wanted, files.rlim_max);
  setrlimit(RLIMIT_NOFILE, &files);
}

server_handle start_server(const std::vector<ip_endpoint>& listen) {
  auto state = std::make_shared<server_state>();
  {
    mutex_lock lock(state->accept_mutex);
    state->descriptors_for = current_config()->max_connections;
    make_room_for_descriptors(state->descriptors_for);
  }
  server_handle server;
  for (const ip_endpoint& ep : listen_endpoints(listen)) {
    state->listeners.push_back(sock_listen(ep));
    int fd = state->listeners.back().fd;
    // Several loops wait on it: the one that loses the race must not block in accept.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    server.ports.push_back(sock_local_port(fd));
    ip_endpoint bound = ep;
    bound.port = server.ports.back();
    server.addresses.push_back(format_endpoint(bound));
  }
  server.port = server.ports.front();
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw io_error(errno_message("pipe", "stop signal"));
  state->wake_read = unique_fd(pipe_fds[0]);
  state->wake_write = unique_fd(pipe_fds[1]);
  const int loops = loop_count();
  {
    mutex_lock lock(state->mutex);
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
  ip_endpoint ep;
  if (!parse_ip(host_to_ip(ip), &ep.addr) || ep.addr.v6) {
    throw io_error("not an IPv4 address: " + ip + ":" + std::to_string(port));
  }
  ep.port = port;
  return start_server(std::vector<ip_endpoint>{ep});
}

bool stop_server(server_handle* server) {
  std::shared_ptr<server_state> state = std::move(server->state);
  if (!state) return true;
  const milliseconds grace = current_config()->stop_grace;
  {
    mutex_lock lock(state->mutex);
    state->stopping = true;
  }
  state->changed.notify_all();
  state->work_ready.notify_all();
  char wake = 1;
  (void)!write(state->wake_write.fd, &wake, 1);
  mutex_lock lock(state->mutex);
  // Every loop wakes at once on the pipe and stops watching the listeners.
  lock.wait_for(state->changed, grace, [&] {
    state->mutex.assert_held();
    return state->accepting == 0;
  });
  state->listeners.clear();  // new connections are refused from here on
  return lock.wait_for(state->changed, grace, [&] {
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

scoped_server::scoped_server(const std::vector<ip_endpoint>& listen)
    : handle(start_server(listen)) {}

scoped_server::~scoped_server() {
  stop_server(&handle);
}
