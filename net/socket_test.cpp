#include "net/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "lib/file_io.h"
#include "lib/pieces.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"

namespace {

using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

TEST(Socket, AddressTextsResolveOrPassThrough) {
  EXPECT_EQ(host_to_ip("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(host_to_ip("12345"), "12345");
  EXPECT_EQ(host_to_ip(""), "");
  EXPECT_EQ(host_to_ip("localhost"), "127.0.0.1");
  EXPECT_EQ(host_to_ip("no-such-host.invalid"), "no-such-host.invalid");
  EXPECT_EQ(resolve_host("no-such-host.invalid"), "");
  EXPECT_EQ(local_ip(), host_ipv4());
}

TEST(Socket, ListeningOnAnUnusableAddressThrows) {
  EXPECT_THROW(sock_listen("no-such-host.invalid", 0), io_error);
  unique_fd taken = sock_listen("127.0.0.1", 0);
  EXPECT_THROW(sock_listen("127.0.0.1", sock_local_port(taken.fd)), io_error);
}

// A connected pair of stream sockets in one process.
struct socket_pair {
  socket_pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    a = unique_fd(fds[0]);
    b = unique_fd(fds[1]);
  }
  unique_fd a;
  unique_fd b;
};

TEST(Socket, WaitsEndOnDataWakeOrDeadline) {
  socket_pair conn;
  socket_pair wake;
  EXPECT_EQ(wait_fd(conn.a.fd, POLLIN, wake.a.fd, deadline_after_ms(50)), wait_result::timed_out);
  ASSERT_EQ(write(wake.b.fd, "w", 1), 1);
  EXPECT_EQ(wait_fd(conn.a.fd, POLLIN, wake.a.fd, deadline_after_ms(5000)), wait_result::woken);
  ASSERT_EQ(write(conn.b.fd, "d", 1), 1);
  // Data that has arrived is served even when a stop is under way.
  EXPECT_EQ(wait_fd(conn.a.fd, POLLIN, wake.a.fd, deadline_after_ms(5000)), wait_result::ready);

  std::string got;
  EXPECT_EQ(sock_recv_some(conn.a.fd, &got, 10), recv_result::data);
  EXPECT_EQ(got, "d");
  EXPECT_EQ(sock_recv_some(conn.a.fd, &got, 10), recv_result::nothing_yet);
  conn.b = unique_fd();
  EXPECT_EQ(wait_fd(conn.a.fd, POLLIN, -1, deadline_after_ms(5000)), wait_result::ready);
  EXPECT_EQ(sock_recv_some(conn.a.fd, &got, 10), recv_result::closed);
  EXPECT_EQ(got, "d");
}

TEST(Socket, SendToAPeerThatNeverReadsGivesUpAtTheDeadline) {
  socket_pair conn;
  auto start = steady::now();
  EXPECT_FALSE(sock_send_all(conn.a.fd, std::string(16 << 20, 'x'), deadline_after_ms(200)));
  EXPECT_LT(steady::now() - start, milliseconds(3000));
}

TEST(Socket, SendToAClosedPeerFailsWithoutSignal) {
  socket_pair conn;
  conn.b = unique_fd();
  EXPECT_FALSE(sock_send_all(conn.a.fd, "hello", deadline_after_ms(1000)));
  EXPECT_TRUE(sock_send_all(conn.a.fd, "", deadline_after_ms(1000)));
}

// More pieces than one gathered write takes, of every size including empty, through a small
// socket buffer read a little at a time, so that writes stop inside pieces and between them.
TEST(Socket, PiecesArriveWholeAndInOrderThroughPartialWrites) {
  socket_pair conn;
  int small = 4096;
  ASSERT_EQ(setsockopt(conn.a.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  text_pieces reply;
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    std::string piece(static_cast<size_t>(i % 7 == 0 ? 0 : (i * 37) % 301), char('a' + i % 26));
    expected += piece;
    reply.pieces.push_back(std::make_shared<const std::string>(std::move(piece)));
  }
  reply.size = expected.size();
  std::string got;
  std::thread reader([&] {
    while (wait_fd(conn.b.fd, POLLIN, -1, deadline_after_ms(5000)) == wait_result::ready &&
           sock_recv_some(conn.b.fd, &got, 997) == recv_result::data) {
    }
  });
  EXPECT_TRUE(sock_send_pieces(conn.a.fd, reply, deadline_after_ms(5000)));
  conn.a = unique_fd();
  reader.join();
  EXPECT_EQ(got, expected);
  EXPECT_EQ(joined(reply), expected);
}

// The loops' sender: it takes what the socket buffer has room for and says so, resumes from
// where it stopped, in the pieces or in the file after them, and reports a peer that is gone.
TEST(Socket, SendSomeResumesWhereTheBufferFilledUp) {
  temp_dir dir;
  const std::string file_bytes(300000, 'f');
  write_file_atomic(dir.file("turn.zts"), file_bytes);
  text_pieces reply;
  add_piece(&reply, std::make_shared<const std::string>(std::string(70000, 'h')));
  add_piece(&reply, std::make_shared<const std::string>("head end\r\n"));
  add_file(&reply, open_regular_file(dir.file("turn.zts")));
  socket_pair conn;
  int small = 4096;
  ASSERT_EQ(setsockopt(conn.a.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  fcntl(conn.a.fd, F_SETFL, fcntl(conn.a.fd, F_GETFL) | O_NONBLOCK);

  size_t sent = 0;
  int blocked = 0;
  std::string got;
  for (;;) {
    const size_t before = sent;
    send_progress step = sock_send_some(conn.a.fd, reply, &sent);
    ASSERT_NE(step, send_progress::failed);
    EXPECT_GE(sent, before);
    if (step == send_progress::done) break;
    ++blocked;
    while (sock_recv_some(conn.b.fd, &got, 997) == recv_result::data) {
    }
  }
  EXPECT_EQ(sent, reply.size);
  conn.a = unique_fd();
  while (wait_fd(conn.b.fd, POLLIN, -1, deadline_after_ms(5000)) == wait_result::ready &&
         sock_recv_some(conn.b.fd, &got, 65536) == recv_result::data) {
  }
  EXPECT_GT(blocked, 10);
  EXPECT_EQ(got, joined(reply));

  socket_pair gone;
  gone.b = unique_fd();
  sent = 0;
  EXPECT_EQ(sock_send_some(gone.a.fd, reply, &sent), send_progress::failed);
}

}  // namespace
