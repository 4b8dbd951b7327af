#include "tests/support/http_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

using steady = std::chrono::steady_clock;

// A dotted IPv4 or an IPv6 address ("::1") and a port; *len gets the size of the address.
sockaddr_storage ip_addr_port(const std::string& ip, uint16_t port, socklen_t* len) {
  sockaddr_storage addr{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *len = sizeof *v4;
  } else if (inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    *len = sizeof *v6;
  } else {
    throw std::runtime_error("not an IP address: " + ip);
  }
  return addr;
}

int ms_left(steady::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for input (data, close or reset) until the deadline; false on timeout.
bool wait_readable(int fd, steady::time_point deadline) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, ms_left(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;
  }
}

}  // namespace

client_socket::~client_socket() {
  if (fd >= 0) ::close(fd);
}

client_socket& client_socket::operator=(client_socket&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
    timeout_ms = other.timeout_ms;
  }
  return *this;
}

std::string http_reply::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return value;
  }
  return "";
}

client_socket connect_to(uint16_t port, const client_options& options) {
  socklen_t addr_len = 0;
  sockaddr_storage addr = ip_addr_port(options.host, port, &addr_len);
  client_socket sock(socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sock.timeout_ms = options.timeout_ms;
  if (sock.fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  if (!options.source_ip.empty()) {
    socklen_t local_len = 0;
    sockaddr_storage local = ip_addr_port(options.source_ip, 0, &local_len);
    if (bind(sock.fd, reinterpret_cast<sockaddr*>(&local), local_len) != 0) {
      throw std::runtime_error("bind " + options.source_ip + ": " + std::strerror(errno));
    }
  }
  timeval tv{options.timeout_ms / 1000, (options.timeout_ms % 1000) * 1000};
  setsockopt(sock.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int rc;
  do {
    rc = connect(sock.fd, reinterpret_cast<sockaddr*>(&addr), addr_len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    throw std::runtime_error("connect " + options.host + ":" + std::to_string(port) + ": " +
                             std::strerror(errno));
  }
  return sock;
}

bool send_bytes(client_socket& sock, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(sock.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void shutdown_send(client_socket& sock) {
  shutdown(sock.fd, SHUT_WR);
}

http_reply read_reply(client_socket& sock) {
  auto deadline = steady::now() + std::chrono::milliseconds(sock.timeout_ms);
  std::string raw;
  bool complete = false;
  char buf[65536];
  while (wait_readable(sock.fd, deadline)) {
    ssize_t n = recv(sock.fd, buf, sizeof buf, 0);
    if (n > 0) {
      raw.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      complete = true;
      break;
    }
  }
  http_reply reply = split_reply(std::move(raw));
  reply.complete = complete;
  return reply;
}

bool closed_without_reply(client_socket& sock, int ms) {
  auto deadline = steady::now() + std::chrono::milliseconds(ms);
  if (!wait_readable(sock.fd, deadline)) return false;
  char byte;
  ssize_t n = recv(sock.fd, &byte, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

bool stays_silent(client_socket& sock, int ms) {
  return !wait_readable(sock.fd, steady::now() + std::chrono::milliseconds(ms));
}

http_reply split_reply(std::string raw) {
  http_reply reply;
  reply.raw = std::move(raw);
  size_t head_end = reply.raw.find("\r\n\r\n");
  if (head_end == std::string::npos) return reply;
  std::string_view head(reply.raw.data(), head_end);
  reply.body = reply.raw.substr(head_end + 4);
  size_t line_end = head.find("\r\n");
  std::string_view status_line = head.substr(0, line_end);
  size_t space = status_line.find(' ');
  if (space != std::string_view::npos) reply.status = std::string(status_line.substr(space + 1));
  while (line_end != std::string_view::npos) {
    head.remove_prefix(line_end + 2);
    line_end = head.find("\r\n");
    std::string_view line = head.substr(0, line_end);
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos) continue;
    reply.headers.emplace_back(std::string(line.substr(0, colon)),
                               std::string(line.substr(colon + 2)));
  }
  return reply;
}

http_reply http_exchange(uint16_t port, std::string_view request, const client_options& options) {
  client_socket sock = connect_to(port, options);
  send_bytes(sock, request);
  return read_reply(sock);
}

http_reply http_get(uint16_t port, std::string_view target, const client_options& options) {
  return http_exchange(port, "GET " + std::string(target) + " HTTP/1.0\r\n\r\n", options);
}

std::string host_ipv4() {
  char name[128] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "127.0.0.1";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return "127.0.0.1";
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, text,
            sizeof text);
  freeaddrinfo(found);
  return text;
}
