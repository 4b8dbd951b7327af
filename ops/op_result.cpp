#include "ops/op_result.h"

#include "lib/log.h"
#include "net/reply.h"

op_result op_refusal(std::string line) {
  return {op_result::kind::refusal, std::move(line), {}, {}, {}};
}

op_result op_page_utf8(std::string body) {
  return {op_result::kind::page_utf8, std::move(body), {}, {}, {}};
}

op_result op_page(std::string body) {
  return {op_result::kind::page, std::move(body), {}, {}, {}};
}

op_result op_download(std::string file_name, open_file file) {
  return {op_result::kind::download, {}, std::move(file_name), std::move(file), {}};
}

op_result op_kept(shared_reply reply) {
  return {op_result::kind::kept, {}, {}, {}, std::move(reply)};
}

std::string frame_op(const op_result& result) {
  switch (result.type) {
    case op_result::kind::refusal:
      write_log("LOG-ERR", result.body);
      return html_reply_utf8("200 OK", result.body);
    case op_result::kind::page_utf8:
      return html_reply_utf8("200 OK", result.body);
    case op_result::kind::page:
      return html_reply("200 OK", result.body);
    case op_result::kind::download:
      return download_reply("200 OK", result.file_name, read_open_file(result.file));
    case op_result::kind::kept:
      return result.reply ? joined(*result.reply) : std::string();
  }
  return {};
}

shared_reply finish_op(const op_result& result) {
  if (result.type == op_result::kind::kept && result.reply) return result.reply;
  if (result.type == op_result::kind::download) {
    auto reply = std::make_shared<text_pieces>();
    add_piece(reply.get(), std::make_shared<const std::string>(
                               download_head("200 OK", result.file_name, result.file.size)));
    add_file(reply.get(), result.file);
    return reply;
  }
  return single_piece(frame_op(result));
}

namespace {
thread_local int32_t request_game = -1;
}  // namespace

void note_request_game(int32_t id) {
  request_game = id;
}

int32_t noted_request_game() {
  return request_game;
}
