#include "net/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "lib/file_io.h"

steady_time deadline_after_ms(int64_t ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

std::string resolve_host(std::string_view host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(std::string(host).c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return "";
  }
  char text[INET_ADDRSTRLEN] = {};
  const auto* addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  inet_ntop(AF_INET, &addr->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  return text;
}

std::string local_ip() {
  char name[128] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "127.0.0.1";
  std::string ip = resolve_host(name);
  return ip.empty() ? "127.0.0.1" : ip;
}

std::string host_to_ip(std::string_view host) {
  bool numeric = std::all_of(host.begin(), host.end(),
                             [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
  std::string ip = numeric ? "" : resolve_host(host);
  return ip.empty() ? std::string(host) : ip;
}

unique_fd sock_listen(const std::string& ip, uint16_t port) {
  std::string where = ip + ":" + std::to_string(port);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, host_to_ip(ip).c_str(), &addr.sin_addr) != 1) {
    throw io_error("not an IPv4 address: " + where);
  }
  unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.fd < 0) throw io_error(errno_message("socket", where));
  // A restarted server must be able to bind while old connections sit in TIME_WAIT.
  int on = 1;
  setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(sock.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw io_error(errno_message("bind", where));
  }
  if (listen(sock.fd, SOMAXCONN) != 0) throw io_error(errno_message("listen", where));
  return sock;
}

uint16_t sock_local_port(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw io_error(errno_message("getsockname", "listener"));
  }
  return ntohs(addr.sin_port);
}

uint32_t sock_peer_addr(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohl(addr.sin_addr.s_addr);
}

wait_result wait_fd(int fd, short events, int wake_fd, steady_time deadline) {
  pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
  nfds_t count = wake_fd >= 0 ? 2 : 1;
  for (;;) {
    bool expired = false;
    int n = retry_eintr([&] {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      expired = left.count() < 0;
      // Rounded up so that a deadline a fraction of a millisecond away is not spun on.
      int timeout = static_cast<int>(std::min<int64_t>(left.count() + 1, 60 * 60 * 1000));
      return expired ? 0 : poll(fds, count, timeout);
    });
    if (expired) return wait_result::timed_out;
    if (n < 0) return wait_result::ready;  // the next call on fd reports its fault
    if (fds[0].revents != 0) return wait_result::ready;
    if (count == 2 && fds[1].revents != 0) return wait_result::woken;
  }
}

recv_result sock_recv_some(int fd, std::string* out, size_t max) {
  size_t old_size = out->size();
  out->resize(old_size + max);
  ssize_t n = recv(fd, out->data() + old_size, max, MSG_DONTWAIT);
  out->resize(old_size + (n > 0 ? static_cast<size_t>(n) : 0));
  if (n > 0) return recv_result::data;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return recv_result::nothing_yet;
  return recv_result::closed;
}

bool sock_send_all(int fd, std::string_view bytes, steady_time deadline) {
  // Sends first and waits only when the socket buffer is full: a short reply goes out at once.
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return false;
    } else if (wait_fd(fd, POLLOUT, -1, deadline) != wait_result::ready) {
      return false;
    }
  }
  return true;
}
