#include "ops/zt_server.h"

#include <cstdint>

#include "lib/conv.h"
#include "lib/log.h"
#include "net/query.h"
#include "net/reply.h"
#include "ops/operations.h"

namespace {

constexpr const char* unknown_error = "ZTXS Unknown error";
constexpr int32_t op_jsonp = 666;

struct op_name {
  int32_t code;
  const char* name;
};

// How each known code appears in the request's "LOG" line.
constexpr op_name op_names[] = {
    {8, "SVOP_CREATE_PARTY"}, {11, "SVOP_GETALLINFO"},     {12, "SVOP_GETALLFININFO"},
    {27, "SVOP_PARTY_NEXT"},  {28, "SVOP_GET_PARTY_TURN"}, {29, "SVOP_GIVE_PARTY_TURN"},
    {777, "SVOP_ID"},
};

const char* log_name(int32_t code) {
  for (const op_name& entry : op_names) {
    if (entry.code == code) return entry.name;
  }
  return nullptr;
}

// The one place an operation code meets its operation. Returns the operation's result; a code
// without an operation leaves *reply as it is ("ZTXS Unknown error") and returns false.
bool run_operation(int32_t code, const aget_rec& pairs, const std::string& req_body,
                   std::string* reply) REQUIRES(db_lock) {
  switch (code) {
    case 8:
      return create_party(req_body, reply);
    case 11:
      *reply = get_all_info(true);
      return true;
    case 12:
      *reply = get_all_info(false);
      return true;
    case 27:
      return party_next(req_body, reply);
    case 28:
      return get_party_turn(pairs, reply);
    case 29:
      return give_party_turn(pairs, reply);
    case op_jsonp:
      *reply = html_reply_utf8("200 OK", games_jsonp());
      return true;
    case 777:
      *reply = html_reply_utf8("200 OK", "ZTNS");
      return true;
    default:
      return false;
  }
}

// Writes the request's "LOG" line: the pairs in query order joined by ",", known codes by their
// names; a query whose op is 666 is not logged at all.
void log_request(const aget_rec& pairs) {
  std::string line;
  for (const get_rec& pair : pairs) {
    std::string item;
    if (pair.name == "op") {
      int32_t code = str_to_int(pair.value);
      if (code == op_jsonp) return;
      const char* name = log_name(code);
      item = name ? name : "op=" + pair.value;
    } else {
      item = pair.name + "=" + pair.value;
    }
    if (!line.empty()) line += ",";
    line += item;
  }
  write_log("LOG", line);
}

}  // namespace

bool run_guarded(const std::function<bool(std::string*)>& serve, std::string* reply) {
  try {
    // Only a part that returns hands over its reply: a throw leaves the crash reply.
    std::string out = unknown_error;
    bool handled = serve(&out);
    *reply = std::move(out);
    return handled;
  } catch (...) {
  }
  *reply = "ZTXS Crash in zt_server";
  write_log("ERR", "Error in do_zt_server");
  return false;
}

bool do_zt_server(std::string_view query_text, const std::string& req_body, std::string* reply) {
  return run_guarded(
      [&](std::string* out) REQUIRES(db_lock) {
        aget_rec pairs = parse_query(query_text);
        const std::string* op = find_query(pairs, "op");
        if (op == nullptr) return false;
        int32_t code = str_to_int(*op);
        log_request(pairs);
        return run_operation(code, pairs, req_body, out);
      },
      reply);
}
