#include "net/request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "tests/support/http_client.h"

namespace {

using namespace std::string_literals;
using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

const std::string form_head =
    "\r\n--------abc\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.zts\"\r\n"
    "Content-Type: application/octet-stream\r\n\r\n";
const std::string form_tail = "\r\n--------abc--\r\n";

std::string post(const std::string& body) {
  return "POST /gameserver_v2.php?op=27 HTTP/1.0\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct request_case {
  const char* what;
  std::string bytes;
  bool ok;
  std::string path;
  std::string body;
};

// Whole requests and what the reader makes of them, parsed directly and over TCP.
std::vector<request_case> request_cases() {
  return {
      {"plain GET", "GET /ztsv_log.php?mode=1 HTTP/1.0\r\n\r\n", true, "/ztsv_log.php?mode=1", ""},
      {"lower-case method", "get /x HTTP/1.0\r\n\r\n", true, "/x", ""},
      {"tabs", "GET\t/x\tHTTP/1.0\r\n\r\n", true, "/x", ""},
      {"no blank after target", "GET /x\r\n\r\n", true, "", ""},
      {"later method line wins", "GET /a HTTP/1.0\r\nPOST /b HTTP/1.0\r\n\r\n", true, "/b", ""},
      {"bare LFs: one line, its Content-Length unseen", "GET /x HTTP/1.0\nContent-Length: 10\n\n",
       true, "/x", ""},
      {"headers cut short", "GET /a HTTP/1.0\r\nContent-Length: 5\r\n", true, "/a", ""},
      {"no space after the colon: no body", "POST /p HTTP/1.0\r\nContent-Length:6\r\n\r\n\r\nZTNX",
       true, "/p", ""},
      {"two spaces after the colon", "POST /p HTTP/1.0\r\nContent-Length:  6\r\n\r\n\r\nZTNX", true,
       "/p", "ZTNX"},
      {"Content-Length 0", "POST /p HTTP/1.0\r\nContent-Length: 0\r\n\r\n", true, "/p", ""},
      {"form upload", post(form_head + "ZTNXdata" + form_tail), true, "/gameserver_v2.php?op=27",
       "ZTNXdata"},
      {"form upload without the leading CR LF", post(form_head.substr(2) + "ZTNXdata" + form_tail),
       true, "/gameserver_v2.php?op=27", "ZTNXdata"},
      {"file ending in CR LF loses it", post(form_head + "ZTNXdata\r\n" + form_tail), true,
       "/gameserver_v2.php?op=27", "ZTNXdata"},
      {"zero byte hides the boundary", post(form_head + "ZTNXa\0b"s + form_tail), true,
       "/gameserver_v2.php?op=27", "ZTNXa\0b\r\n--------abc--"s},
      {"CR LF CR LF inside the file cuts before it",
       post(form_head + "ZTNXab\r\n\r\ncd" + form_tail), true, "/gameserver_v2.php?op=27", "cd"},
      // The cut takes Content-Length bytes from the third byte on, so it reaches two bytes past
      // the body when more were sent; a client sends exactly its body, so this never shows.
      {"bytes past Content-Length", post("\r\nZTNXabcd") + "EXTRA", true,
       "/gameserver_v2.php?op=27", "ZTNXabcdEX"},
      // The three rejections.
      {"no method line", "HELLO /x HTTP/1.0\r\n\r\n", false, "", ""},
      {"body shorter than announced", "POST /p HTTP/1.0\r\nContent-Length: 50\r\n\r\n\r\nZTNXshort",
       false, "/p", ""},
      {"body without ZTNX", post(form_head + "ZTNYdata" + form_tail), false,
       "/gameserver_v2.php?op=27", ""},
      {"raw save loses its first two bytes", post("ZTNXabcd"), false, "/gameserver_v2.php?op=27",
       ""},
      {"ZTNX only after a zero byte", post("\r\n\0ZTNX"s), false, "/gameserver_v2.php?op=27", ""},
      {"negative Content-Length", "POST /p HTTP/1.0\r\nContent-Length: -5\r\n\r\n\r\nZTNX", false,
       "/p", ""},
      {"empty", "", false, "", ""},
  };
}

TEST(ParseRequest, RequestsAsTheyArriveWhole) {
  for (const auto& c : request_cases()) {
    request_rec req;
    EXPECT_EQ(parse_request(c.bytes, &req), c.ok) << c.what;
    EXPECT_EQ(req.path, c.path) << c.what;
    EXPECT_EQ(req.body, c.body) << c.what;
  }
}

TEST(ParseRequest, ForwardedForLinesAreJoinedInOrderWhateverTheirCase) {
  request_rec req;
  ASSERT_TRUE(
      parse_request("GET /x HTTP/1.0\r\nX-Forwarded-For: 1.2.3.4, 10.0.0.1 \r\n"
                    "Host: a\r\nx-forwarded-for:\t::1\r\n\r\nX-Forwarded-For: 9.9.9.9",
                    &req));
  EXPECT_EQ(req.forwarded_for, "1.2.3.4, 10.0.0.1, ::1");  // none after the blank line
  ASSERT_TRUE(parse_request("GET /x HTTP/1.0\r\n\r\n", &req));
  EXPECT_EQ(req.forwarded_for, "");
}

TEST(ParseRequest, HeadIsCompleteOnlyWithItsBlankLine) {
  struct {
    std::string bytes;
    bool complete;
  } cases[] = {
      {"GET /x HTTP/1.0\r\n", false},    {"GET /x HTTP/1.0\r\n\r", false},
      {"GET /x HTTP/1.0\r\n\r\n", true}, {"GET /x HTTP/1.0\r\n  \r\n", true},
      {"GET /x HTTP/1.0\r\n  ", false},  {"GET /x HTTP/1.0\n\n", true},
      {"GET /x HTTP/1.0", false},
  };
  for (const auto& c : cases) EXPECT_EQ(request_head_complete(c.bytes), c.complete) << c.bytes;
}

// What a loop reading a request piece by piece is told: nothing until the head is in, then the
// head and its announced body; no more than it has when there is no body or a limit is passed,
// and finish_request then refuses what passed one.
TEST(ParseRequest, BytesWantedFollowTheHeadAndItsAnnouncedBody) {
  const std::string head = "POST /x HTTP/1.0\r\nContent-Length: 10\r\n\r\n";
  EXPECT_EQ(request_bytes_wanted(head.substr(0, 25)), 0u);
  EXPECT_EQ(request_bytes_wanted(head), head.size() + 10);
  EXPECT_EQ(request_bytes_wanted(head + "0123"), head.size() + 10);
  const std::string get = "GET /x HTTP/1.0\r\n\r\n";
  EXPECT_EQ(request_bytes_wanted(get), get.size());
  request_rec req;
  EXPECT_TRUE(finish_request(get, &req));
  EXPECT_EQ(req.path, "/x");
  for (const std::string& over :
       {"POST /x HTTP/1.0\r\nContent-Length: " + std::to_string(max_body_bytes + 1) + "\r\n\r\n",
        "GET /x HTTP/1.0\r\nX: " + std::string(max_header_bytes, 'a') + "\r\n\r\n"}) {
    EXPECT_LE(request_bytes_wanted(over), over.size());
    EXPECT_FALSE(finish_request(over, &req));
  }
}

// One accepted TCP connection and its client end.
struct tcp_pair {
  tcp_pair() {
    unique_fd listener = sock_listen("127.0.0.1", 0);
    client = connect_to(sock_local_port(listener.fd));
    server = unique_fd(accept(listener.fd, nullptr, nullptr));
  }
  client_socket client;
  unique_fd server;
};

// Runs read_request on the server end in the background.
std::future<std::pair<bool, request_rec>> read_async(tcp_pair& pair, int timeout_ms = 10000) {
  return std::async(std::launch::async, [&pair, timeout_ms] {
    request_rec req;
    bool ok = read_request(pair.server.fd, &req, timeout_ms);
    return std::make_pair(ok, req);
  });
}

void pause() {
  std::this_thread::sleep_for(milliseconds(50));
}

TEST(ReadRequest, HeadersAndBodyInSeveralSendsAreReadWhole) {
  tcp_pair pair;
  auto result = read_async(pair);
  std::string bytes = post(form_head + "ZTNXdata" + form_tail);
  for (size_t at : {10, 45, 70}) {
    send_bytes(pair.client, bytes.substr(0, at));
    bytes.erase(0, at);
    pause();
  }
  send_bytes(pair.client, bytes);
  auto [ok, req] = result.get();
  EXPECT_TRUE(ok);
  EXPECT_EQ(req.path, "/gameserver_v2.php?op=27");
  EXPECT_EQ(req.body, "ZTNXdata");
}

// Every request of the direct cases, sent in two pieces and then closed by the client, is read
// as parse_request reads it whole. The cut falls inside the head, where a reader that parsed
// only its first receive would go wrong.
TEST(ReadRequest, RequestsSentInTwoPiecesReadAsWhole) {
  for (const auto& c : request_cases()) {
    tcp_pair pair;
    auto result = read_async(pair);
    size_t cut = std::min<size_t>(c.bytes.size(), 20);
    send_bytes(pair.client, c.bytes.substr(0, cut));
    pause();
    send_bytes(pair.client, c.bytes.substr(cut));
    shutdown_send(pair.client);
    auto [ok, req] = result.get();
    EXPECT_EQ(ok, c.ok) << c.what;
    EXPECT_EQ(req.path, c.path) << c.what;
    EXPECT_EQ(req.body, c.body) << c.what;
  }
}

// A worker goes on with a request whose head a loop has read, and does not wait for more when
// the loop had it all.
TEST(ReadRequest, GoesOnFromTheBytesAlreadyRead) {
  const std::string bytes = post(form_head + "ZTNXdata" + form_tail);
  const size_t cut = bytes.find("\r\n\r\n") + 6;
  tcp_pair pair;
  send_bytes(pair.client, bytes.substr(cut));
  request_rec req;
  EXPECT_TRUE(read_request(pair.server.fd, &req, 5000, bytes.substr(0, cut)));
  EXPECT_EQ(req.path, "/gameserver_v2.php?op=27");
  EXPECT_EQ(req.body, "ZTNXdata");

  tcp_pair silent;
  auto start = steady::now();
  EXPECT_TRUE(read_request(silent.server.fd, &req, 5000, bytes));
  EXPECT_EQ(req.body, "ZTNXdata");
  EXPECT_LT(steady::now() - start, milliseconds(1000));
}

TEST(ReadRequest, AnswersWithoutWaitingForTheClientToClose) {
  for (std::string bytes : {"GET /x HTTP/1.0\r\n\r\n", "GET /x HTTP/1.0\nHost: a\n\n"}) {
    tcp_pair pair;
    send_bytes(pair.client, bytes);
    auto start = steady::now();
    request_rec req;
    EXPECT_TRUE(read_request(pair.server.fd, &req));
    EXPECT_EQ(req.path, "/x");
    EXPECT_LT(steady::now() - start, milliseconds(1000));
  }
}

TEST(ReadRequest, ClosedOrSilentClientsAreRejectedOrReadAsFarAsTheyGot) {
  struct {
    const char* what;
    std::string sent;
    bool close_after;
    bool ok;
    std::string path;
  } cases[] = {
      {"closes at once", "", true, false, ""},
      {"closes inside the head", "GET /a HTTP/1.0\r\nHost: x", true, true, "/a"},
      {"silent inside the head", "GET /a HTTP/1.0\r\nHost: x", false, true, "/a"},
      {"closes inside the body", "POST /a HTTP/1.0\r\nContent-Length: 99\r\n\r\n\r\nZTNX", true,
       false, "/a"},
      {"silent inside the body", "POST /a HTTP/1.0\r\nContent-Length: 99\r\n\r\n\r\nZTNX", false,
       false, "/a"},
  };
  for (const auto& c : cases) {
    tcp_pair pair;
    send_bytes(pair.client, c.sent);
    if (c.close_after) shutdown_send(pair.client);
    auto start = steady::now();
    request_rec req;
    EXPECT_EQ(read_request(pair.server.fd, &req, 300), c.ok) << c.what;
    EXPECT_EQ(req.path, c.path) << c.what;
    EXPECT_LT(steady::now() - start, milliseconds(3000)) << c.what;
  }
}

TEST(ReadRequest, OversizedHeadOrBodyIsRefusedBeforeReadingOn) {
  struct {
    const char* what;
    std::string sent;
  } cases[] = {
      {"head over the limit", "GET /x HTTP/1.0\r\nX: " + std::string(max_header_bytes, 'a')},
      {"head over the limit, then its end",
       "GET /x HTTP/1.0\r\nX: " + std::string(max_header_bytes, 'a') + "\r\n\r\n"},
      {"body over the limit",
       "POST /x HTTP/1.0\r\nContent-Length: " + std::to_string(max_body_bytes + 1) + "\r\n\r\n"},
  };
  for (const auto& c : cases) {
    tcp_pair pair;
    auto result = read_async(pair);
    send_bytes(pair.client, c.sent);
    EXPECT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready) << c.what;
    EXPECT_FALSE(result.get().first) << c.what;
  }
}

}  // namespace
