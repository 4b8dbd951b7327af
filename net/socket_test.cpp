#include "net/socket.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/support/http_client.h"

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

}  // namespace
