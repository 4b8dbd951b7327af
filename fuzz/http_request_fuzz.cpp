// Request parsing: any bytes a client can send must parse without fault, and what comes out
// must be cut from what went in. The first byte picks a split point: the head read up to there,
// when already complete, must say what the whole request says, since read_request stops
// reading as soon as the head is complete.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/request.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t split = bytes.size() * data[0] / 255;

  request_rec req;
  req.body = "stale";
  bool ok = parse_request(bytes, &req);
  check(bytes.find(req.path) != std::string_view::npos);
  for (char c : req.path) check(!is_blank(c));
  check(bytes.find(req.body) != std::string_view::npos);
  if (!ok) check(req.body.empty());
  if (!req.body.empty()) check(ok);

  request_head whole = parse_request_head(bytes);
  if (whole.headers_ended) check(whole.body_start <= bytes.size());
  if (!whole.ok) check(!ok);

  std::string_view prefix = bytes.substr(0, split);
  request_head first = parse_request_head(prefix);
  if (first.end_complete) {
    check(request_head_complete(bytes));
    check(whole.end_complete && first.ok == whole.ok && first.path == whole.path &&
          first.content_length == whole.content_length && first.body_start == whole.body_start);
  }
  if (request_head_complete(prefix)) check(request_head_complete(bytes));

  std::string save = "stale";
  int32_t length = static_cast<int32_t>(bytes.size() - split) - 2;
  if (cut_upload(bytes.substr(split), length, &save)) {
    check(bytes.find(save) != std::string_view::npos);
  } else {
    check(save.empty());
  }
  return 0;
}
