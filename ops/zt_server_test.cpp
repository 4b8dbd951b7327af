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

  // Serves `query` as the connection thread does.
  op_result serve(const std::string& query, const std::string& body = "") {
    return do_zt_server(query, body);
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
    bool handled;       // false: a refusal
    std::string reply;  // the body
    std::string log;    // the "LOG" line, "" for none
  } cases[] = {
      {"?op=777", true, "ZTNS", "SVOP_ID\n"},
      {"", false, "ZTXS Unknown error", ""},
      {"X", false, "ZTXS Unknown error", ""},
      {"?OP=777", false, "ZTXS Unknown error", ""},
      {"?op=13", false, "ZTXS Unknown error", "op=13\n"},
      {"?op=abc", false, "ZTXS Unknown error", "op=abc\n"},
      {"?fn=game_3&op=5", false, "ZTXS Unknown error", "fn=game_3,op=5\n"},
      {"?op=777&op=13&x=%41", true, "ZTNS", "SVOP_ID,op=13,x=%41\n"},
      {"?op=13&op=777", false, "ZTXS Unknown error", "op=13,SVOP_ID\n"},
      {"?op= 777 ", true, "ZTNS", "SVOP_ID\n"},
      {"?op=777&op=666", true, "ZTNS", ""},
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
    op_result result = serve(c.query);
    EXPECT_EQ(result.type != op_result::kind::refusal, c.handled) << c.query;
    EXPECT_EQ(result.body, c.reply) << c.query;
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
    std::string reply = joined(*finish_op(serve(c.query)));
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

TEST_F(Dispatch, AFailureBecomesTheCrashRefusalAndAnErrLine) {
  op_result result = run_guarded([]() -> op_result {
    throw io_error("read game_server/game_0/turns/x.zts: Permission denied");
  });
  EXPECT_EQ(result.type, op_result::kind::refusal);
  EXPECT_EQ(result.body, "ZTXS Crash in zt_server");
  std::string log = read_file(dir.file("zts.log"));
  EXPECT_NE(log.find(":[ERR       ]:Error in do_zt_server\r\n"), std::string::npos);

  EXPECT_EQ(run_guarded([]() -> op_result { throw 42; }).body, "ZTXS Crash in zt_server");
  EXPECT_EQ(run_guarded([] { return op_page("whole"); }).body, "whole");
}

// Every kind of result is framed in one place; a refusal is also logged there.
TEST_F(Dispatch, FinishFramesEachKindAndLogsRefusals) {
  EXPECT_EQ(joined(*finish_op(op_page_utf8("ZTNS"))), html_reply_utf8("200 OK", "ZTNS"));
  EXPECT_EQ(joined(*finish_op(op_page("ZTXS\n0\n"))), html_reply("200 OK", "ZTXS\n0\n"));
  write_file_atomic(dir.file("stored.zts"), "ZTNX");
  const shared_reply download =
      finish_op(op_download("turn_1_0.zts", open_regular_file(dir.file("stored.zts"))));
  write_file_atomic(dir.file("stored.zts"), "replaced after opening");
  EXPECT_EQ(joined(*download), download_reply("200 OK", "turn_1_0.zts", "ZTNX"));
  EXPECT_EQ(download->size, joined(*download).size());
  const shared_reply kept = single_piece("HTTP/1.0 200 OK\r\n\r\nkept");
  EXPECT_EQ(finish_op(op_kept(kept)), kept) << "a kept reply is shared, not copied";
  EXPECT_EQ(joined(*finish_op(op_refusal("ZTXS Turn was not saved"))),
            html_reply_utf8("200 OK", "ZTXS Turn was not saved"));
  std::string log = read_file(dir.file("zts.log"));
  EXPECT_NE(log.find(":[LOG-ERR   ]:ZTXS Turn was not saved\r\n"), std::string::npos);
}

}  // namespace
