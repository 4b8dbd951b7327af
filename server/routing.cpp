#include "server/routing.h"

#include <chrono>
#include <memory>
#include <mutex>

#include "api/games_api.h"
#include "db/game.h"
#include "lib/conv.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "net/query.h"
#include "net/reply.h"
#include "ops/op_result.h"
#include "ops/zt_server.h"
#include "pages/log_server.h"
#include "pages/player_web.h"
#include "server/config.h"
#include "server/service.h"

namespace {

constexpr std::string_view game_protocol_path = "/gameserver_v2.php";
constexpr std::string_view status_pages_path = "/ztsv_log.php";
constexpr std::string_view raw_log_path = "/zts.log";
constexpr std::string_view metrics_path = "/metrics";
// Every path serve_api handles starts with it.
constexpr std::string_view api_path_prefix = "/api/games";
constexpr std::string_view player_web_prefix = "/games";
constexpr std::string_view health_path = "/healthz";
// How long /healthz waits for a lock before it calls the server wedged: well inside a monitor's
// usual time-out, far beyond a move's disk sync.
constexpr std::chrono::milliseconds health_lock_bound{3000};

std::string_view path_only(std::string_view path) {
  return path.substr(0, path.find('?'));
}

// 200 "ok", or 503 with the reason; never cached by a proxy.
std::string health_page() EXCLUDES(db_lock) {
  const std::string problem = health_problem(health_lock_bound);
  count_request(route_kind::healthz, "none",
                problem.empty() ? outcome_kind::ok : outcome_kind::refused);
  return typed_reply(problem.empty() ? "200 OK" : "503 Service Unavailable",
                     "text/plain; charset=utf-8", {"Cache-Control: no-store"},
                     problem.empty() ? "ok\n" : problem + "\n");
}

// The op label of a game-protocol query, read the way the dispatcher reads it.
std::string_view op_of(std::string_view query_text) {
  aget_rec pairs = parse_query(query_text);
  const std::string* op = find_query(pairs, "op");
  return op_label(op != nullptr, op ? str_to_int(*op) : 0);
}

// The result is framed (and a refusal logged) holding no lock.
shared_reply game_protocol(std::string_view query_text, const std::string& req_body)
    EXCLUDES(db_lock) {
  const op_result result = do_zt_server(query_text, req_body);
  outcome_kind outcome = outcome_kind::ok;
  if (result.type == op_result::kind::refusal) {
    refusal_kind kind = classify_refusal(result.body);
    count_refusal(kind);
    outcome = kind == refusal_kind::crash ? outcome_kind::crashed : outcome_kind::refused;
  }
  count_request(route_kind::game, op_of(query_text), outcome);
  return finish_op(result);
}

// An unreadable log file must not end the server: it is logged and the client gets nothing.
// A missing one gets nothing either.
shared_reply raw_log() {
  std::string reply;
  try {
    reply = log_file_reply("200 OK", log_file_name());
  } catch (const io_error& e) {
    write_log("ERR", std::string("Log download failed: ") + e.what());
    count_request(route_kind::raw_log, "none", outcome_kind::dropped);
    return nullptr;
  }
  write_log("-DBG-", "Log requested");
  count_request(route_kind::raw_log, "none",
                reply.empty() ? outcome_kind::dropped : outcome_kind::ok);
  if (reply.empty()) return nullptr;
  return single_piece(std::move(reply));
}

shared_reply status_pages(std::string_view query_text) EXCLUDES(db_lock) {
  shared_reply reply = do_log_server(query_text);
  count_request(route_kind::status, "none", reply ? outcome_kind::ok : outcome_kind::dropped);
  return reply;
}

bool may_read_metrics(const ip_addr& client, const std::vector<ip_net>& allowed) {
  if (!metrics_enabled()) return false;
  for (const ip_net& net : allowed) {
    if (ip_in_net(client, net)) return true;
  }
  return false;
}

std::string metrics_page() EXCLUDES(db_lock) {
  set_games_by_status(api_games_by_status());
  count_request(route_kind::metrics, "none", outcome_kind::ok);
  return typed_reply("200 OK", "text/plain; version=0.0.4; charset=utf-8", {}, metrics_text());
}

}  // namespace

std::string not_found_page(std::string_view req_path) {
  return "<html><head><title>404 Page not found</title></head><body><table width=100% "
         "height=100%><tr valign=middle><td><center><font size=20><b>Error 404</b><br>Page \"" +
         html_escape(req_path) + "\" not found</font></center></td></tr></table></body></html>";
}

namespace {

shared_reply route_get(const request_rec& request, const ip_addr& client, route_kind* route)
    EXCLUDES(db_lock) {
  std::string_view path = request.path;
  if (path_only(path) == health_path) {
    *route = route_kind::healthz;
    return single_piece(health_page());
  }
  if (path.starts_with(game_protocol_path)) {
    *route = route_kind::game;
    return game_protocol(path.substr(game_protocol_path.size()), request.body);
  }
  if (path.starts_with(status_pages_path)) {
    *route = route_kind::status;
    return status_pages(path.substr(status_pages_path.size()));
  }
  if (path.starts_with(raw_log_path)) {
    *route = route_kind::raw_log;
    return raw_log();
  }
  // Only the routes that read the configuration take it, once per request.
  const bool metrics = path.substr(0, path.find('?')) == metrics_path;
  if (path.starts_with(api_path_prefix) || metrics) {
    const std::shared_ptr<const zts_config> config = current_config();
    if (api_reply api = serve_api(path, request.if_none_match, config->public_url); api.handled) {
      *route = route_kind::api;
      count_request(route_kind::api, "none", api.outcome);
      return single_piece(std::move(api.bytes));
    }
    if (metrics && may_read_metrics(client, config->metrics_allow)) {
      *route = route_kind::metrics;
      return single_piece(metrics_page());
    }
  }
  if (path.starts_with(player_web_prefix) && current_config()->web) {
    if (web_reply web = serve_player_web(path, request.if_none_match); web.handled) {
      *route = route_kind::web;
      count_request(route_kind::web, "none", web.outcome);
      return single_piece(std::move(web.bytes));
    }
  }
  *route = route_kind::not_found;
  count_request(route_kind::not_found, "none", outcome_kind::not_found);
  return single_piece(html_reply_utf8("404 Not Found", not_found_page(request.path)));
}

}  // namespace

bool route_answers_head(std::string_view path) {
  if (path.starts_with(game_protocol_path) || path.starts_with(status_pages_path) ||
      path.starts_with(raw_log_path)) {
    return false;
  }
  return path.starts_with("/api/") || path_only(path) == metrics_path ||
         path.starts_with(player_web_prefix) || path_only(path) == health_path;
}

shared_reply route_request(const request_rec& request, const ip_addr& client, route_kind* route) {
  if (!request.head_only) return route_get(request, client, route);
  // The game protocol, the pages and the log never answered HEAD: they still send nothing.
  if (!route_answers_head(request.path)) {
    *route = route_kind::unreadable;
    count_request(route_kind::unreadable, "none", outcome_kind::dropped);
    return nullptr;
  }
  shared_reply whole = route_get(request, client, route);
  if (!whole) return whole;
  std::string bytes;
  for (const auto& piece : whole->pieces) bytes += *piece;
  return single_piece(reply_head(std::move(bytes)));
}

bool route_may_wait(std::string_view path) {
  if (path.starts_with(game_protocol_path)) {
    return op_may_wait(path.substr(game_protocol_path.size()));
  }
  // The pages, the log and the API read files; a 404 page does not.
  return path.starts_with(status_pages_path) || path.starts_with(raw_log_path) ||
         path.starts_with("/api/") || path_only(path) == metrics_path ||
         path_only(path) == health_path;
}
