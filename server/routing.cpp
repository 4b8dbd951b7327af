#include "server/routing.h"

#include "db/game.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "net/reply.h"
#include "ops/op_result.h"
#include "ops/zt_server.h"
#include "pages/log_server.h"

namespace {

constexpr std::string_view game_protocol_path = "/gameserver_v2.php";
constexpr std::string_view status_pages_path = "/ztsv_log.php";
constexpr std::string_view raw_log_path = "/zts.log";

// The result is framed (and a refusal logged) outside db_lock.
std::string game_protocol(std::string_view query_text, const std::string& req_body)
    EXCLUDES(db_lock) {
  op_result result;
  {
    mutex_lock lock(db_lock);
    result = do_zt_server(query_text, req_body);
  }
  return finish_op(result);
}

// An unreadable log file must not end the server: it is logged and the client gets nothing.
// A missing one gets nothing either.
std::optional<std::string> raw_log() {
  std::string reply;
  try {
    reply = log_file_reply("200 OK", log_file_name());
  } catch (const io_error& e) {
    write_log("ERR", std::string("Log download failed: ") + e.what());
    return std::nullopt;
  }
  write_log("-DBG-", "Log requested");
  if (reply.empty()) return std::nullopt;
  return reply;
}

std::optional<std::string> status_pages(std::string_view query_text) EXCLUDES(db_lock) {
  mutex_lock lock(db_lock);
  return do_log_server(query_text);
}

}  // namespace

std::string not_found_page(std::string_view req_path) {
  return "<html><head><title>404 Page not found</title></head><body><table width=100% "
         "height=100%><tr valign=middle><td><center><font size=20><b>Error 404</b><br>Page \"" +
         html_escape(req_path) + "\" not found</font></center></td></tr></table></body></html>";
}

std::optional<std::string> route_request(const std::string& req_path, const std::string& req_body) {
  std::string_view path = req_path;
  if (path.starts_with(game_protocol_path)) {
    return game_protocol(path.substr(game_protocol_path.size()), req_body);
  }
  if (path.starts_with(status_pages_path)) {
    return status_pages(path.substr(status_pages_path.size()));
  }
  if (path.starts_with(raw_log_path)) return raw_log();
  return html_reply_utf8("404 Not Found", not_found_page(req_path));
}
