#include "tests/support/http_receiver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// A request larger than this is a test bug, not something to wait for.
constexpr size_t max_request_bytes = 1 << 20;
constexpr int read_timeout_ms = 5000;

// Reads or writes through TLS when `ssl` is set, plainly otherwise.
struct conn_io {
  int fd;
  SSL* ssl;

  long read(char* buf, size_t n) {
    pollfd p{fd, POLLIN, 0};
    if (!ssl || SSL_pending(ssl) == 0) {
      if (poll(&p, 1, read_timeout_ms) <= 0) return -1;
    }
    return ssl ? SSL_read(ssl, buf, static_cast<int>(n)) : ::read(fd, buf, n);
  }
  void write(const std::string& bytes) {
    if (ssl) {
      SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
    } else {
      for (size_t off = 0; off < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
      }
    }
  }
};

bool read_request(conn_io& io, received_request* out) {
  std::string raw;
  char buf[8192];
  size_t head_end = std::string::npos;
  while ((head_end = raw.find("\r\n\r\n")) == std::string::npos) {
    long n = io.read(buf, sizeof buf);
    if (n <= 0 || raw.size() > max_request_bytes) return false;
    raw.append(buf, static_cast<size_t>(n));
  }
  std::string head = raw.substr(0, head_end);
  size_t line_end = head.find("\r\n");
  std::string first = head.substr(0, line_end);
  size_t sp1 = first.find(' ');
  size_t sp2 = first.find(' ', sp1 + 1);
  out->method = first.substr(0, sp1);
  out->target = first.substr(sp1 + 1, sp2 - sp1 - 1);
  size_t length = 0;
  for (size_t pos = line_end; pos != std::string::npos && pos < head.size();) {
    size_t start = pos + 2;
    size_t end = head.find("\r\n", start);
    std::string line =
        head.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::string value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      if (strcasecmp(name.c_str(), "Content-Length") == 0) length = std::stoul(value);
      out->headers.emplace_back(name, value);
    }
    pos = end;
  }
  out->body = raw.substr(head_end + 4);
  while (out->body.size() < length) {
    long n = io.read(buf, sizeof buf);
    if (n <= 0) return false;
    out->body.append(buf, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::string received_request::header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (k.size() == name.size() && strncasecmp(k.c_str(), name.data(), name.size()) == 0) return v;
  }
  return {};
}

http_receiver::http_receiver(const std::string& cert, const std::string& key)
    : cert_file(cert), key_file(key) {
  if (!cert_file.empty()) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      if (ctx) SSL_CTX_free(ctx);
      throw std::runtime_error("receiver: cannot load " + cert_file + " / " + key_file);
    }
    tls = ctx;
  }
  listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wake, O_CLOEXEC) != 0) {
    throw std::runtime_error("receiver: cannot listen");
  }
  port = ntohs(addr.sin_port);
  thread = std::thread([this] { serve(); });
}

http_receiver::~http_receiver() {
  char b = 1;
  (void)!::write(wake[1], &b, 1);
  thread.join();
  for (int fd : hanging) ::close(fd);
  ::close(listener);
  ::close(wake[0]);
  ::close(wake[1]);
  if (tls) SSL_CTX_free(static_cast<SSL_CTX*>(tls));
}

std::string http_receiver::url(const std::string& path) const {
  return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + path;
}

void http_receiver::set_answer(receiver_answer a, int retry_after) {
  std::lock_guard<std::mutex> lock(mutex);
  answer = a;
  retry_after_s = retry_after;
}

std::vector<received_request> http_receiver::requests() {
  std::lock_guard<std::mutex> lock(mutex);
  return received;
}

bool http_receiver::wait_for(size_t count, std::chrono::steady_clock::duration limit) {
  std::unique_lock<std::mutex> lock(mutex);
  return arrived.wait_for(lock, limit, [&] { return received.size() >= count; });
}

void http_receiver::serve() {
  for (;;) {
    pollfd p[2] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[1].revents) return;
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) handle(fd);
  }
}

void http_receiver::handle(int fd) {
  SSL* ssl = nullptr;
  if (tls) {
    ssl = SSL_new(static_cast<SSL_CTX*>(tls));
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
      SSL_free(ssl);
      ::close(fd);
      return;
    }
  }
  conn_io io{fd, ssl};
  received_request r;
  bool complete = read_request(io, &r);
  receiver_answer a;
  int after;
  {
    std::lock_guard<std::mutex> lock(mutex);
    a = answer;
    after = retry_after_s;
    if (complete) received.push_back(r);
    arrived.notify_all();
  }
  if (complete && a == receiver_answer::hang) {
    if (ssl) SSL_free(ssl);  // the descriptor stays open: the client sees no answer and no close
    hanging.push_back(fd);
    return;
  }
  if (complete) {
    std::string status = "200 OK";
    std::string extra;
    if (a == receiver_answer::fail) status = "500 Internal Server Error";
    if (a == receiver_answer::busy) {
      status = "429 Too Many Requests";
      extra = "Retry-After: " + std::to_string(after) + "\r\n";
    }
    if (a == receiver_answer::redirect) {
      status = "302 Found";
      extra = "Location: /elsewhere\r\n";
    }
    io.write("HTTP/1.1 " + status + "\r\nContent-Length: 2\r\nConnection: close\r\n" + extra +
             "\r\nok");
  }
  if (ssl) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
  }
  ::close(fd);
}
