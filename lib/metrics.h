// The process-wide metrics registry and the counting functions every layer calls. It sits at the
// bottom of the tree and includes nothing above lib/, so that the listener, the game operations,
// the refresh and the notifications can all count into it without reaching up. It does know
// their vocabulary: the routes, the game protocol's op codes and refusals, the refresh's rules,
// the lock waiters and the game statuses are label lists below, and a new kind of any of them
// is added here. It never sees a game record, a socket or a request.
//
// Every label takes its value from a fixed list below: what a client sends (paths, op codes,
// messages) is mapped onto these lists first, so the number of series stays bounded whatever
// arrives. Counting is thread-safe, takes no lock on the hot path (series are made once and then
// found in a table) and never throws.
//
// Built with ZTS_METRICS_OFF (cmake -DZTS_METRICS=OFF) every counting function does nothing and
// metrics_enabled() is false: the benchmark's "metrics off" side.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// True unless the build switched metrics off.
bool metrics_enabled();

// Where a request went.
enum class route_kind : uint8_t {
  game,        // the game protocol
  status,      // the operators' status pages
  raw_log,     // the event log as a page
  api,         // the JSON API
  web,         // the players' pages at /games
  metrics,     // this scrape
  healthz,     // the health check
  not_found,   // the 404 page
  unreadable,  // no request could be read (closed, timed out, malformed): no reply
  count_
};

// What the request came to.
enum class outcome_kind : uint8_t {
  ok,            // served
  refused,       // a "ZTXS ..." refusal
  crashed,       // the crash reply
  not_found,     // 404 (also an unknown game id in the API)
  not_modified,  // 304 to a poller whose copy is current
  dropped,       // nothing sent
  count_
};

// The game protocol's op codes get a series each; any other value is "other", none "none".
// Returns the label value for `code`; `has_op` false gives "none".
std::string_view op_label(bool has_op, int32_t code);

// Why the game protocol refused or failed a request: one label per kind of message, never the
// message itself (which carries numbers and save-reader reasons).
enum class refusal_kind : uint8_t {
  unreadable_save,       // the save reader refused the upload
  game_id_taken,         // a new game's id is in use
  invalid_game_id,       // "game_" prefix missing
  game_id_out_of_range,  // no such slot
  unregistered_game,     // empty slot
  game_closed,           // a move or download for a finished game
  game_not_closed,       // an old turn of a game still in play
  wrong_turn,
  wrong_player,
  missing_parameter,  // fn, tn or pl not given
  turn_not_saved,
  unknown_op,
  crash,  // a failure while serving
  other,  // any message not in this list
  count_
};

// The refresh rules, by what each does, for zts_refresh_changes_total{rule}.
enum class refresh_rule_kind : uint8_t {
  quick_archive_idle,    // quick game idle a day
  quick_archive_small,   // quick game of few turns idle three days
  archive_unstarted,     // game that never started, idle fifteen days
  archive_small_closed,  // finished game of few turns, idle thirty days
  finish_idle,           // game in play idle six months
  archive_small_idle,    // game of few turns idle six months
  revive_archived,       // archived game of many turns listed as finished again
  count_
};

// The operations of the admin socket, for zts_admin_operations_total{operation,outcome}.
enum class admin_op_kind : uint8_t {
  games,
  game,
  revert,
  archive,
  unarchive,
  remove,
  restore,
  snapshot,
  refresh,
  repair,
  other,  // an unknown operation or a malformed request
  count_
};

// Which connection cap refused a connection.
enum class cap_kind : uint8_t { total, per_address, count_ };

// Who waited for the game lock.
enum class lock_waiter : uint8_t { request, api, refresh, count_ };

// Game counts by status (0 in play, 1 opening, 2 finished, 3 archived), set before each scrape.
using status_counts = std::array<int64_t, 4>;

// zts_requests_total{route,op,outcome}. `op` comes from op_label ("none" off the game protocol).
void count_request(route_kind route, std::string_view op, outcome_kind outcome);
// zts_refusals_total{kind}.
void count_refusal(refusal_kind kind);
// zts_request_duration_seconds{route}: from the request read to the reply sent.
void observe_request_duration(route_kind route, double seconds);
// zts_lock_wait_seconds{waiter}: time spent waiting for a lock over the games: a game's own
// lock for a request (move or download) and for the hourly pass, db_lock for the API's copy.
void observe_lock_wait(lock_waiter waiter, double seconds);

// zts_connections_active: +1 when a connection is admitted, -1 when its place is given back.
void add_active_connections(int delta);
// zts_connections_refused_total{cap}.
void count_connection_refused(cap_kind cap);
// zts_bytes_received_total / zts_bytes_sent_total.
void count_bytes_received(uint64_t bytes);
void count_bytes_sent(uint64_t bytes);

// zts_moves_total: turns accepted. zts_games_created_total: games created.
void count_move();
void count_game_created();

// zts_turn_time_seconds: a player's time on a turn, from the save that handed it to them being
// stored to their own, observed when their move is stored.
void observe_turn_time(double seconds);

// zts_refresh_duration_seconds and zts_refresh_changes_total{rule}.
void observe_refresh_duration(double seconds);
void count_refresh_change(refresh_rule_kind rule);

// zts_admin_operations_total{operation,outcome}: outcome "done" or "refused".
void count_admin_operation(admin_op_kind op, bool done);

// zts_notifications_{queued,sent,failed}_total, counted by the notification sender.
void count_notification_queued();
void count_notification_sent();
void count_notification_failed();
// zts_notifications_attempts_failed_total{target}: attempts that were not taken (no answer, an
// error answer, a transfer curl could not start), by the target's name from the configuration
// (its label, or scheme, host and format; never its URL), so bounded by the configuration.
void count_notification_attempt_failed(std::string_view target);

// zts_games{status}.
void set_games_by_status(const status_counts& counts);

// zts_build_info{version} 1. Called once at start.
void set_build_info(std::string_view version);

// The whole registry and the process_* figures (read from /proc now) in the Prometheus text
// exposition format. "" when metrics are off.
std::string metrics_text();

// The seconds elapsed on the steady clock since `start_ns` (a steady_ns() reading).
int64_t steady_ns();
double seconds_since_ns(int64_t start_ns);
