#include "net/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>

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

std::vector<std::string> host_addresses() {
  char name[128] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return {};
  std::vector<std::string> out;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, text,
              sizeof text);
    if (std::find(out.begin(), out.end(), text) == out.end()) out.push_back(text);
  }
  freeaddrinfo(found);
  return out;
}

std::string host_to_ip(std::string_view host) {
  bool numeric = std::all_of(host.begin(), host.end(),
                             [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
  std::string ip = numeric ? "" : resolve_host(host);
  return ip.empty() ? std::string(host) : ip;
}

unique_fd sock_listen(const std::string& ip, uint16_t port) {
  ip_endpoint ep;
  std::string resolved = host_to_ip(ip);
  if (!parse_ip(resolved, &ep.addr) || ep.addr.v6) {
    throw io_error("not an IPv4 address: " + ip + ":" + std::to_string(port));
  }
  ep.port = port;
  return sock_listen(ep);
}

unique_fd sock_listen(const ip_endpoint& ep) {
  std::string where = format_endpoint(ep);
  socklen_t len = 0;
  sockaddr_storage addr = endpoint_to_sockaddr(ep, &len);
  unique_fd sock(socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.fd < 0) throw io_error(errno_message("socket", where));
  // A restarted server must be able to bind while old connections sit in TIME_WAIT.
  int on = 1;
  setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (ep.addr.v6) setsockopt(sock.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (bind(sock.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    throw io_error(errno_message("bind", where));
  }
  if (listen(sock.fd, SOMAXCONN) != 0) throw io_error(errno_message("listen", where));
  return sock;
}

uint16_t sock_local_port(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ip_endpoint ep;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw io_error(errno_message("getsockname", "listener"));
  }
  if (!endpoint_from_sockaddr(reinterpret_cast<sockaddr*>(&addr), len, &ep)) {
    throw io_error("getsockname: not an IP socket");
  }
  return ep.port;
}

ip_addr plain_ip(const ip_addr& addr) {
  static constexpr uint8_t v4_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!addr.v6 || !std::equal(v4_mapped, v4_mapped + 12, addr.bytes.begin())) return addr;
  ip_addr v4;
  std::copy(addr.bytes.begin() + 12, addr.bytes.end(), v4.bytes.begin());
  return v4;
}

bool sock_peer_ip(int fd, ip_addr* out) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ip_endpoint ep;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      !endpoint_from_sockaddr(reinterpret_cast<sockaddr*>(&addr), len, &ep)) {
    return false;
  }
  *out = plain_ip(ep.addr);
  return true;
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
  // Received into scratch memory and appended: growing the string first would zero-fill the
  // whole chunk on every call, most of it for nothing when requests are a few hundred bytes.
  std::unique_ptr<char[]> chunk(new char[max]);
  ssize_t n = recv(fd, chunk.get(), max, MSG_DONTWAIT);
  if (n > 0) {
    out->append(chunk.get(), static_cast<size_t>(n));
    return recv_result::data;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return recv_result::nothing_yet;
  return recv_result::closed;
}

namespace {

// Sends what the socket takes now of the `count` buffers at `parts`, advancing them over what
// went out, and adds their size to *total. `more`: further bytes follow at once (MSG_MORE), so the
// last part goes out with them rather than in a short segment of its own.
send_progress send_parts_some(int fd, iovec* parts, size_t count, bool more, size_t* total) {
  for (;;) {
    while (count > 0 && parts->iov_len == 0) {
      ++parts;
      --count;
    }
    if (count == 0) return send_progress::done;
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = std::min<size_t>(count, IOV_MAX);
    ssize_t n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? send_progress::blocked
                                                     : send_progress::failed;
    }
    auto sent = static_cast<size_t>(n);
    *total += sent;
    while (count > 0 && sent >= parts->iov_len) {
      sent -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + sent;
      parts->iov_len -= sent;
    }
  }
}

// sendfile() has no MSG_NOSIGNAL: a peer gone meanwhile raises SIGPIPE at this thread, which is
// blocked for the call and taken back before returning, so that it never ends the process.
struct sigpipe_blocked {
  sigpipe_blocked() {
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &before);
  }
  ~sigpipe_blocked() {
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  sigset_t pipe;
  sigset_t before;
};

// Sends what the socket takes now of `file` from *offset on, straight from the kernel's page
// cache. The socket is made non-blocking, as sendfile() has no MSG_DONTWAIT.
send_progress send_file_some(int fd, const open_file& file, off_t* offset) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
    return send_progress::failed;
  }
  sigpipe_blocked guard;
  while (static_cast<size_t>(*offset) < file.size) {
    ssize_t n = sendfile(fd, file.fd->fd, offset, file.size - static_cast<size_t>(*offset));
    if (n > 0) continue;
    if (n == 0) return send_progress::failed;  // shorter than when opened
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? send_progress::blocked : send_progress::failed;
  }
  return send_progress::done;
}

// Repeats `send_some` until it is done, waiting for room in the socket buffer in between.
template <typename SendSome>
bool send_before(int fd, steady_time deadline, SendSome send_some) {
  for (;;) {
    switch (send_some()) {
      case send_progress::done:
        return true;
      case send_progress::failed:
        return false;
      case send_progress::blocked:
        if (wait_fd(fd, POLLOUT, -1, deadline) != wait_result::ready) return false;
    }
  }
}

}  // namespace

bool sock_send_all(int fd, std::string_view bytes, steady_time deadline) {
  iovec part{const_cast<char*>(bytes.data()), bytes.size()};
  size_t total = 0;
  return send_before(fd, deadline, [&] { return send_parts_some(fd, &part, 1, false, &total); });
}

send_progress sock_send_some(int fd, const text_pieces& reply, size_t* sent) {
  const bool file_follows = reply.file.fd && reply.file.size > 0;
  const size_t pieces_size = reply.size - (reply.file.fd ? reply.file.size : 0);
  if (*sent < pieces_size) {
    std::vector<iovec> parts;
    size_t skip = *sent;
    for (const shared_text& piece : reply.pieces) {
      if (skip >= piece->size()) {
        skip -= piece->size();
        continue;
      }
      parts.push_back({const_cast<char*>(piece->data()) + skip, piece->size() - skip});
      skip = 0;
    }
    send_progress got = send_parts_some(fd, parts.data(), parts.size(), file_follows, sent);
    if (got != send_progress::done) return got;
  }
  if (!file_follows) return send_progress::done;
  off_t offset = static_cast<off_t>(*sent - pieces_size);
  send_progress got = send_file_some(fd, reply.file, &offset);
  *sent = pieces_size + static_cast<size_t>(offset);
  return got;
}

bool sock_send_pieces(int fd, const text_pieces& reply, steady_time deadline) {
  size_t sent = 0;
  return send_before(fd, deadline, [&] { return sock_send_some(fd, reply, &sent); });
}
