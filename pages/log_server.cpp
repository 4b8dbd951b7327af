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

// The two list pages do not depend on the clock: they are kept until the games change. The
// details page shows the days since the last turn, so it is built for every request.
shared_reply build_page(std::string_view query_text) EXCLUDES(db_lock) {
  static kept_list games_page;
  static kept_list all_page;
  static const list_shape games_shape = log_page_games_shape(0);
  static const list_shape all_shape = log_page_all_shape(1);
  const aget_rec pairs = parse_query(query_text);
  int32_t mode = query_int(pairs, "mode");
  if (mode == -1) mode = 0;
  int32_t pm = query_int(pairs, "pm");
  if (pm == -1) pm = 0;
  const int32_t id = query_int(pairs, "id");
  write_log("LOGPAGE", pairs_text(pairs));
  switch (mode) {
    case 0:
      return kept_list_reply(&games_page, games_shape);
    case 1:
      return kept_list_reply(&all_page, all_shape);
    case 2: {
      std::string page;
      {
        mutex_lock lock(db_lock);
        page = log_page_game(pm, id);
      }
      return single_piece(html_reply("200 OK", page));
    }
    default:
      return single_piece(html_reply("200 OK", log_page_none()));
  }
}

}  // namespace

shared_reply do_log_server(std::string_view query_text) {
  try {
    return build_page(query_text);
  } catch (...) {
    write_error_cause("Error in do_log_server", "status page " + std::string(query_text),
                      current_exception_text());
    return nullptr;
  }
}
