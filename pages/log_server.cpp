#include "pages/log_server.h"

#include <cstdint>

#include "lib/conv.h"
#include "lib/log.h"
#include "net/query.h"
#include "net/reply.h"
#include "pages/status_pages.h"

namespace {

// The first pair named `name`, read as a number; -1 when there is none.
int32_t query_int(const aget_rec& pairs, std::string_view name) {
  const std::string* value = find_query(pairs, name);
  return value == nullptr ? -1 : str_to_int(*value);
}

std::string pairs_text(const aget_rec& pairs) {
  std::string out;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0) out += ",";
    out += pairs[i].name + "=" + pairs[i].value;
  }
  return out;
}

std::string build_page(std::string_view query_text) REQUIRES(db_lock) {
  const aget_rec pairs = parse_query(query_text);
  int32_t mode = query_int(pairs, "mode");
  if (mode == -1) mode = 0;
  int32_t pm = query_int(pairs, "pm");
  if (pm == -1) pm = 0;
  const int32_t id = query_int(pairs, "id");
  write_log("LOGPAGE", pairs_text(pairs));
  switch (mode) {
    case 0:
      return log_page_games(0);
    case 1:
      return log_page_all(1);
    case 2:
      return log_page_game(pm, id);
    default:
      return log_page_none();
  }
}

}  // namespace

std::optional<std::string> do_log_server(std::string_view query_text) {
  try {
    return html_reply("200 OK", build_page(query_text));
  } catch (...) {
    write_log("ERR", "Error in do_log_server");
    return std::nullopt;
  }
}
