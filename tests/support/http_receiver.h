// A real HTTP (or HTTPS) receiver on 127.0.0.1 and an ephemeral port, for tests of what the
// server sends out (notifications): it records every request and answers as told, including
// not at all.
//
//   http_receiver hook;                         // listening when the constructor returns
//   hook.set_answer(receiver_answer::fail);     // 500 from now on
//   ... hook.url("/x") goes into the configuration ...
//   ASSERT_TRUE(hook.wait_for(2, std::chrono::seconds(10)));
//   EXPECT_EQ(hook.requests()[1].body, "...");
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct received_request {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first header of that name, compared without case; "" when absent.
  std::string header(std::string_view name) const;
};

enum class receiver_answer {
  ok,        // 200 with a short body
  fail,      // 500
  busy,      // 429 with Retry-After (retry_after_s)
  redirect,  // 302 to another path
  hang,      // reads the request and never answers (the connection stays open)
};

struct http_receiver {
  // With a certificate and key (PEM files) it speaks TLS.
  explicit http_receiver(const std::string& cert_file = "", const std::string& key_file = "");
  ~http_receiver();
  http_receiver(const http_receiver&) = delete;
  http_receiver& operator=(const http_receiver&) = delete;

  // "http://127.0.0.1:<port><path>" (https with TLS).
  std::string url(const std::string& path = "/hook") const;
  void set_answer(receiver_answer answer, int retry_after_s = 1);
  // Every complete request read so far, in order (those left unanswered too).
  std::vector<received_request> requests();
  // Waits until at least `count` requests were read; false when `limit` passes first.
  bool wait_for(size_t count, std::chrono::steady_clock::duration limit);

  uint16_t port = 0;

 private:
  void serve();
  void handle(int fd);

  std::string cert_file;
  std::string key_file;
  void* tls = nullptr;  // SSL_CTX
  int listener = -1;
  int wake[2] = {-1, -1};
  std::thread thread;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<received_request> received;        // GUARDED_BY(mutex)
  receiver_answer answer = receiver_answer::ok;  // GUARDED_BY(mutex)
  int retry_after_s = 1;                         // GUARDED_BY(mutex)
  std::vector<int> hanging;                      // connections left open; serve() thread only
};
