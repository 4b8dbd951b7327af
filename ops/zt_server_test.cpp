#include "ops/zt_server.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>

#include "db/game.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "net/reply.h"
#include "tests/support/temp_dir.h"

namespace {

struct Dispatch : ::testing::Test {
  Dispatch() { set_log_file(dir.file("zts.log"), false); }

  // Serves `query` as the connection thread does, under db_lock.
  bool serve(const std::string& query, std::string* reply, const std::string& body = "") {
    std::lock_guard lock(db_lock);
    return do_zt_server(query, body, reply);
  }

  // The messages of the "LOG" lines written so far, one per line.
  std::string log_lines() const {
    std::string out;
    if (!file_exists(dir.file("zts.log"))) return out;
    std::string log = read_file(dir.file("zts.log"));
    const std::string tag = ":[LOG       ]:";
    for (size_t p = log.find(tag); p != std::string::npos; p = log.find(tag, p + 1)) {
      size_t start = p + tag.size();
      out += log.substr(start, log.find("\r\n", start) - start) + "\n";
    }
    return out;
  }

  temp_dir dir;
};

TEST_F(Dispatch, CodesRepliesAndLogLines) {
  struct {
    std::string query;
    bool handled;
    std::string reply;
    std::string log;  // the "LOG" line, "" for none
  } cases[] = {
      {"?op=777", true, html_reply_utf8("200 OK", "ZTNS"), "SVOP_ID\n"},
      {"", false, "ZTXS Unknown error", ""},
      {"X", false, "ZTXS Unknown error", ""},
      {"?OP=777", false, "ZTXS Unknown error", ""},
      {"?op=13", false, "ZTXS Unknown error", "op=13\n"},
      {"?op=abc", false, "ZTXS Unknown error", "op=abc\n"},
      {"?fn=game_3&op=5", false, "ZTXS Unknown error", "fn=game_3,op=5\n"},
      {"?op=777&op=13&x=%41", true, html_reply_utf8("200 OK", "ZTNS"), "SVOP_ID,op=13,x=%41\n"},
      {"?op=13&op=777", false, "ZTXS Unknown error", "op=13,SVOP_ID\n"},
      {"?op= 777 ", true, html_reply_utf8("200 OK", "ZTNS"), "SVOP_ID\n"},
      {"?op=777&op=666", true, html_reply_utf8("200 OK", "ZTNS"), ""},
      // Each wired code reaches its operation (the refusal proves which one ran) and is logged
      // under its name. No game has a negative id, whatever the other tests have loaded.
      {"?op=8", false, "ZTXS Server failed to parse new game data file (Invalid signature)",
       "SVOP_CREATE_PARTY\n"},
      {"?op=27", false, "ZTXS Server failed to parse game data file (Invalid signature)",
       "SVOP_PARTY_NEXT\n"},
      {"?op=28&fn=game_-1", false, "ZTXS Game id is out of range",
       "SVOP_GET_PARTY_TURN,fn=game_-1\n"},
      {"?op=29&fn=game_-1&tn=4&pl=2", false, "ZTXS Game id is out of range",
       "SVOP_GIVE_PARTY_TURN,fn=game_-1,tn=4,pl=2\n"},
  };
  for (const auto& c : cases) {
    std::string before = log_lines();
    std::string reply = "stale";
    EXPECT_EQ(serve(c.query, &reply), c.handled) << c.query;
    EXPECT_EQ(reply, c.reply) << c.query;
    EXPECT_EQ(log_lines().substr(before.size()), c.log) << c.query;
  }
}

// The game lists depend on the games loaded, so only their framing and opening are checked:
// the plain lists without a charset, the JSONP list labelled UTF-8, and 666 is never logged.
TEST_F(Dispatch, ListCodesAnswerWithTheirLists) {
  struct {
    std::string query;
    std::string head;  // the reply starts with this
    std::string log;
  } cases[] = {
      {"?op=11", "Content-Type: text/html\r\nConnection: close\r\n\r\nZTXS\n", "SVOP_GETALLINFO\n"},
      {"?op=12", "Content-Type: text/html\r\nConnection: close\r\n\r\nZTXS\n",
       "SVOP_GETALLFININFO\n"},
      {"?op=666&fn=x",
       "Content-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\nparseResult({\n", ""},
  };
  for (const auto& c : cases) {
    std::string before = log_lines();
    std::string reply;
    EXPECT_TRUE(serve(c.query, &reply)) << c.query;
    ASSERT_TRUE(reply.starts_with("HTTP/1.0 200 OK\r\nContent-Length: ")) << c.query;
    size_t type = reply.find("Content-Type: ");
    EXPECT_EQ(reply.substr(type, c.head.size()), c.head) << c.query;
    size_t body_start = reply.find("\r\n\r\n") + 4;
    EXPECT_EQ(reply.substr(33, reply.find("\r\n", 33) - 33),
              std::to_string(reply.size() - body_start))
        << c.query;
    EXPECT_EQ(log_lines().substr(before.size()), c.log) << c.query;
  }
}

TEST_F(Dispatch, AFailureBecomesTheCrashReplyAndAnErrLine) {
  std::string reply = "stale";
  bool handled = run_guarded(
      [](std::string* out) -> bool {
        *out = "half-built reply";
        throw io_error("read game_server/game_0/turns/x.zts: Permission denied");
      },
      &reply);
  EXPECT_FALSE(handled);
  EXPECT_EQ(reply, "ZTXS Crash in zt_server");
  std::string log = read_file(dir.file("zts.log"));
  EXPECT_NE(log.find(":[ERR       ]:Error in do_zt_server\r\n"), std::string::npos);

  EXPECT_FALSE(run_guarded([](std::string*) -> bool { throw 42; }, &reply));
  EXPECT_EQ(reply, "ZTXS Crash in zt_server");
}

TEST_F(Dispatch, AGuardedPartThatReturnsHandsOverItsReply) {
  std::string reply;
  EXPECT_FALSE(run_guarded([](std::string*) { return false; }, &reply));
  EXPECT_EQ(reply, "ZTXS Unknown error");
  EXPECT_TRUE(run_guarded(
      [](std::string* out) {
        *out = "whole reply";
        return true;
      },
      &reply));
  EXPECT_EQ(reply, "whole reply");
}

}  // namespace
