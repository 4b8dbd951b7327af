// The notification sender: one thread that, about once a second, takes a snapshot of the games,
// works out per target what is newer than what it last announced (notify/events.h), and sends
// it with libcurl, all targets at once, one message in flight per target and in game order.
// A message is stored as announced (notify/state_store.h) only once the target took it, so
// nothing is lost across a restart; a target that fails is retried with exponential backoff
// (a 429's Retry-After respected) up to retry_for, then the message is counted as failed. An
// outage gives two lines: an "ERR" at its first failure and a "SYS" when the target takes a
// message again (with the count given up on meanwhile).
//
// The thread holds the game lock only while copying the games, never while sending or writing,
// so a target that hangs costs play nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "db/game.h"
#include "notify/config.h"
#include "notify/events.h"

// Counters since start (also counted into lib/metrics.h's zts_notifications_*_total). Any thread.
struct notify_stats {
  uint64_t queued = 0;  // messages that became due (each counted once, however often retried)
  uint64_t sent = 0;    // accepted by their target (2xx)
  uint64_t failed = 0;  // given up on (a permanent refusal, or retry_for passed)
};
notify_stats read_notify_stats();

// How often the sender looks at the games.
inline constexpr uint32_t scan_interval_ms = 1000;
// Retries start this far apart and double up to the cap.
inline constexpr uint32_t first_backoff_ms = 2000;
inline constexpr uint32_t max_backoff_ms = 10 * 60 * 1000;
// A Retry-After beyond this is taken as this.
inline constexpr uint32_t max_retry_after_s = 24 * 3600;

// Brings `views` up to date with the games: one entry per slot of the game list, id -1 for an
// empty slot. Takes the game lock for the comparison and the copy of what changed only.
void snapshot_games(std::vector<game_view>* views) EXCLUDES(db_lock);

// True when `target` wants the messages of game `g`.
bool target_wants(const notify_target& target, const game_view& g);

// Starts the sender thread for `config` (not null) with its state under `root` (game_server);
// when a sender runs already, it is reconfigured (reconfigure_notify). Starts nothing when the
// configuration has no targets, or when curl cannot (an "ERR" line says so). The sender keeps
// the pointer, never a copy, until the next reconfiguration or stop. These three functions may
// be called from any thread; calls are serialised.
void start_notify(std::shared_ptr<const notify_config> config, const std::string& root);

// Gives the running sender (if any) new targets, texts and timings: a target whose URL is
// unchanged keeps what it has announced, a target never seen under `root` starts from the games'
// current state without announcing it (one seen before resumes from what its files say it was
// told), a removed one is dropped with its message in flight. Starts the sender when there was
// none and `config` has targets; with no targets left, the sender stops. Settings equal to the
// running ones change nothing but the pointer the sender holds.
void reconfigure_notify(std::shared_ptr<const notify_config> config, const std::string& root);

// Stops the sender and waits for its thread (transfers in flight are abandoned: their message
// is sent again after the next start). Does nothing when none runs.
void stop_notify();

// Sends one test message to every target and writes one line per target to `out`
// ("ok    https://hooks.example.org (discord): HTTP 204", the label instead when the target has
// one, or "FAIL  ..."). Returns the number that failed.
int notify_test(const notify_config& config, std::ostream& out);
