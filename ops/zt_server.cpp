#include "ops/zt_server.h"

#include <cstdint>

#include "db/repair.h"
#include "lib/conv.h"
#include "lib/log.h"
#include "net/query.h"
#include "ops/create.h"
#include "ops/lists.h"
#include "ops/party_next.h"
#include "ops/turns.h"

namespace {

constexpr const char* unknown_error = "ZTXS Unknown error";
constexpr int32_t op_jsonp = 666;

// The operations take the query's pairs and the uploaded save, and only some use either. Each
// takes the locks it needs and must be called holding none (clang cannot carry that on a
// pointer type; the entries below say it).
using operation_fn = op_result (*)(const aget_rec& pairs, const std::string& req_body);

struct operation {
  int32_t code;
  const char* log_name;  // how the code appears in the request's "LOG" line; null: as "op=<n>"
  bool may_wait;         // it writes or reads a game's files, or waits for a game's lock
  // ...but not at this moment (null: always may): the lock it needs is free now.
  bool (*ready_now)(const aget_rec& pairs);
  operation_fn run;
};

// The one place an operation code meets its name and its operation.
const operation operations[] = {
    {8, "SVOP_CREATE_PARTY", true, nullptr,
     [](const aget_rec&, const std::string& body) EXCLUDES(db_lock) { return create_party(body); }},
    {11, "SVOP_GETALLINFO", false, nullptr,
     [](const aget_rec&, const std::string&)
         EXCLUDES(db_lock) { return op_kept(plain_list_reply(true)); }},
    {12, "SVOP_GETALLFININFO", false, nullptr,
     [](const aget_rec&, const std::string&)
         EXCLUDES(db_lock) { return op_kept(plain_list_reply(false)); }},
    {27, "SVOP_PARTY_NEXT", true, nullptr,
     [](const aget_rec&, const std::string& body) EXCLUDES(db_lock) { return party_next(body); }},
    {28, "SVOP_GET_PARTY_TURN", true, party_turn_ready,
     [](const aget_rec& pairs, const std::string&)
         EXCLUDES(db_lock) { return get_party_turn(pairs); }},
    {29, "SVOP_GIVE_PARTY_TURN", true, nullptr,
     [](const aget_rec& pairs, const std::string&)
         EXCLUDES(db_lock) { return give_party_turn(pairs); }},
    {op_jsonp, nullptr, false, nullptr,  // never logged
     [](const aget_rec&, const std::string&)
         EXCLUDES(db_lock) { return op_kept(jsonp_list_reply()); }},
    {777, "SVOP_ID", false, nullptr,
     [](const aget_rec&, const std::string&) EXCLUDES(db_lock) { return op_page_utf8("ZTNS"); }},
};

const operation* find_operation(int32_t code) {
  for (const operation& op : operations) {
    if (op.code == code) return &op;
  }
  return nullptr;
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
      const operation* known = find_operation(code);
      item = known && known->log_name ? known->log_name : "op=" + pair.value;
    } else {
      item = pair.name + "=" + pair.value;
    }
    if (!line.empty()) line += ",";
    line += item;
  }
  write_log("LOG", line);
}

// Each message by the start it always has (the parse and turn messages carry values after it).
struct refusal_prefix {
  std::string_view start;
  refusal_kind kind;
};

constexpr refusal_prefix refusal_prefixes[] = {
    {"ZTXS Server failed to parse ", refusal_kind::unreadable_save},
    {"ZTXS This game ID is already used", refusal_kind::game_id_taken},
    {"ZTXS Invalid game id", refusal_kind::invalid_game_id},
    {"ZTXS Game id is out of range", refusal_kind::game_id_out_of_range},
    {"ZTXS Unregistered game id", refusal_kind::unregistered_game},
    {"ZTXS Game is closed or finished", refusal_kind::game_closed},
    {"ZTXS Game is not closed or finished", refusal_kind::game_not_closed},
    {"ZTXS Wrong turn ", refusal_kind::wrong_turn},
    {"ZTXS Wrong player ", refusal_kind::wrong_player},
    {"ZTXS No game ID provided", refusal_kind::missing_parameter},
    {"ZTXS No turn provided", refusal_kind::missing_parameter},
    {"ZTXS No player provided", refusal_kind::missing_parameter},
    {"ZTXS Turn was not saved", refusal_kind::turn_not_saved},
    {"ZTXS Unknown error", refusal_kind::unknown_op},
    {"ZTXS Crash in zt_server", refusal_kind::crash},
};

}  // namespace

refusal_kind classify_refusal(std::string_view message) {
  for (const refusal_prefix& p : refusal_prefixes) {
    if (message.starts_with(p.start)) return p.kind;
  }
  return refusal_kind::other;
}

namespace {

// "party_next" for "SVOP_PARTY_NEXT": how the cause line names an operation.
std::string operation_name(const operation* op) {
  if (op == nullptr || op->log_name == nullptr) return "do_zt_server";
  std::string name = op->log_name;
  if (name.starts_with("SVOP_")) name.erase(0, 5);
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return name;
}

}  // namespace

op_result run_guarded(const std::function<op_result()>& serve, std::string_view operation) {
  note_request_game(-1);
  try {
    return serve();
  } catch (const game_held& e) {
    // A held game's reason already names the operation, the game and the file.
    write_error_cause("Error in do_zt_server", "", e.what());
  } catch (...) {
    std::string context(operation.empty() ? "do_zt_server" : operation);
    if (noted_request_game() >= 0) context += " game " + int_to_str(noted_request_game());
    write_error_cause("Error in do_zt_server", context, current_exception_text());
  }
  return op_refusal("ZTXS Crash in zt_server");
}

bool op_may_wait(std::string_view query_text) {
  aget_rec pairs = parse_query(query_text);
  const std::string* op = find_query(pairs, "op");
  const operation* known = op ? find_operation(str_to_int(*op)) : nullptr;
  return known && known->may_wait && !(known->ready_now && known->ready_now(pairs));
}

op_result do_zt_server(std::string_view query_text, const std::string& req_body) {
  aget_rec pairs = parse_query(query_text);
  const std::string* op = find_query(pairs, "op");
  const operation* known = op ? find_operation(str_to_int(*op)) : nullptr;
  return run_guarded(
      [&]() EXCLUDES(db_lock) {
        if (op == nullptr) return op_refusal(unknown_error);
        log_request(pairs);
        return known ? known->run(pairs, req_body) : op_refusal(unknown_error);
      },
      operation_name(known));
}
