#include "notify/sender.h"

#include <fnmatch.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "db/game.h"
#include "db/layout.h"
#include "db/turn_times.h"
#include "lib/asys.h"
#include "lib/cp1251.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "lib/mutex.h"
#include "notify/delivery.h"
#include "notify/message.h"
#include "notify/sender_internal.h"
#include "notify/state_store.h"

namespace {

using steady = std::chrono::steady_clock;

std::atomic<uint64_t> queued_total{0};
std::atomic<uint64_t> sent_total{0};
std::atomic<uint64_t> failed_total{0};

struct pending_message {
  notify_event event;
  steady::time_point first_queued;
  int attempts = 0;
};

// One target as the sender thread keeps it. Owned and touched by the sender thread only.
struct target_runtime {
  const notify_target* target = nullptr;  // in the settings run_sender holds
  std::string dir;
  std::string name;     // target_name(): what log lines and metrics show
  bool loaded = false;  // `announced` read from disk, or the baseline written
  std::map<int32_t, announced_state> announced;
  // The target's filter before a reload: games it did not take are taken now without a message.
  std::optional<notify_target> previous;
  std::map<int32_t, pending_message> pending;  // due, by game id; rebuilt by every scan
  std::unique_ptr<transfer> inflight;
  pending_message inflight_msg;
  steady::time_point next_attempt{};
  uint32_t backoff_ms = 0;
  bool store_failing = false;  // an "ERR" line about its state files was written
  bool down = false;           // its outage's first failure was logged; nothing taken since
  uint64_t dropped = 0;        // messages given up on during this outage
};

void store(target_runtime& t, int32_t game_id, const announced_state& state) {
  t.announced[game_id] = state;
  try {
    write_announced(t.dir, game_id, state);
    t.store_failing = false;
  } catch (const io_error& e) {
    // Kept in memory: this process will not repeat the message; a restart may, once.
    if (!t.store_failing) write_log("ERR", "Notifications to " + t.name + ": " + e.what());
    t.store_failing = true;
  }
}

std::string describe(const pending_message& m) {
  return "game_" + std::to_string(m.event.game.id) + " " + event_name(m.event.kind) + ", " +
         std::to_string(m.attempts) + (m.attempts == 1 ? " attempt" : " attempts");
}

// One attempt at `m` was not taken: counted, and logged when it starts an outage (the rest of
// the outage is told by the line that ends it).
void attempt_failed(target_runtime& t, const pending_message& m, const std::string& reason) {
  count_notification_attempt_failed(t.name);
  if (t.down) return;
  t.down = true;
  write_log("ERR", "Notifications to " + t.name + " failing: " + reason + " (" + describe(m) + ")");
}

void give_up(target_runtime& t, const pending_message& m) {
  failed_total.fetch_add(1, std::memory_order_relaxed);
  count_notification_failed();
  ++t.dropped;
  store(t, m.event.game.id, m.event.next);
}

void recovered(target_runtime& t) {
  if (!t.down) return;
  std::string lost;
  if (t.dropped > 0) {
    lost = "; " + std::to_string(t.dropped) + (t.dropped == 1 ? " message" : " messages") +
           " given up on meanwhile";
  }
  write_log("SYS", "Notifications to " + t.name + " delivered again" + lost);
  t.down = false;
  t.dropped = 0;
}

// Takes the target's transfer out of `multi` and frees it. Should curl refuse to let it go, the
// transfer is left allocated rather than freed under curl.
void detach(CURLM* multi, target_runtime& t) {
  if (!t.inflight) return;
  CURLMcode code = curl_multi_remove_handle(multi, t.inflight->easy);
  if (code != CURLM_OK) {
    write_log("ERR", "Notifications to " + t.name +
                         ": curl_multi_remove_handle: " + curl_multi_strerror(code));
    static_cast<void>(t.inflight.release());
  }
  t.inflight.reset();
}

// Reads or starts the target's announced states. False when its files cannot be used now.
bool load(target_runtime& t, const std::vector<game_view>& games, uint32_t now) {
  try {
    if (!load_target_state(t.dir, &t.announced)) {
      // Never seen before: every existing game is taken as already announced, so adding a
      // target to a busy server sends nothing until something happens.
      for (const game_view& g : games) {
        if (g.id >= 0) t.announced[g.id] = state_of(g, now);
      }
      write_baseline(t.dir, t.announced);
    }
    t.loaded = true;
    t.store_failing = false;
  } catch (const io_error& e) {
    if (!t.store_failing) write_log("ERR", "Notifications to " + t.name + ": " + e.what());
    t.store_failing = true;
  }
  return t.loaded;
}

// Names the announcement `e` (notify/state_store.h's counter). Should its number not be stored,
// it is used all the same: a restart may then give the next state of the game that number.
void name_event(announcement_book& book, notify_event& e) {
  uint32_t number = 0;
  try {
    number = announcement_number(book, e.game.id, e.next);
    book.failing = false;
  } catch (const io_error& err) {
    number = book.known[e.game.id].first;
    if (!book.failing) write_log("ERR", std::string("Notifications: ") + err.what());
    book.failing = true;
  }
  e.event_id = event_id_for(e, number);
}

void scan(const notify_config& config, std::vector<std::unique_ptr<target_runtime>>& targets,
          std::vector<game_view>& games, announcement_book& book) {
  const uint32_t now = server_clock();
  const steady::time_point steady_now = steady::now();
  snapshot_games(&games);
  const reminder_policy policy{config.remind_after_s, config.remind_every_s, config.remind_max};
  for (auto& tp : targets) {
    target_runtime& t = *tp;
    if (!t.loaded && !load(t, games, now)) continue;
    std::map<int32_t, pending_message> due;
    for (const game_view& g : games) {
      if (g.id < 0 || !target_wants(*t.target, g)) continue;
      auto last = t.announced.find(g.id);
      if (t.previous && !target_wants(*t.previous, g)) {
        // Newly routed here by a reload: start from its current state, like a new target.
        if (last == t.announced.end() || !last->second.same_state(state_of(g, now))) {
          store(t, g.id, state_of(g, now));
        }
        continue;
      }
      std::optional<notify_event> e =
          next_event(g, last == t.announced.end() ? nullptr : &last->second, now, policy);
      if (!e) continue;
      if (e->silent) {
        store(t, g.id, e->next);
        continue;
      }
      name_event(book, *e);
      // Read on a reminder only: the first one of a game reads its turns/ once.
      if (e->kind == event_kind::reminder)
        e->median_s = median_turn_seconds(game_root, g.id, g.curplr);
      if (t.inflight && t.inflight_msg.event.game.id == g.id &&
          t.inflight_msg.event.event_id == e->event_id) {
        continue;
      }
      auto old = t.pending.find(g.id);
      if (old != t.pending.end() && old->second.event.event_id == e->event_id) {
        due.insert(*old);
        continue;
      }
      // A newer state of a game still waiting keeps its place in the retry clock.
      pending_message m{std::move(*e),
                        old != t.pending.end() ? old->second.first_queued : steady_now};
      due.emplace(g.id, std::move(m));
      queued_total.fetch_add(1, std::memory_order_relaxed);
      count_notification_queued();
    }
    t.previous.reset();
    t.pending = std::move(due);
  }
}

// The outcome of the transfer in flight (already out of the multi handle, or never in it).
void finish(target_runtime& t, const notify_config& config, const delivery_result& r) {
  const steady::time_point now = steady::now();
  pending_message m = std::move(t.inflight_msg);
  t.inflight.reset();
  if (r.outcome == delivery_outcome::sent) {
    sent_total.fetch_add(1, std::memory_order_relaxed);
    count_notification_sent();
    store(t, m.event.game.id, m.event.next);
    t.backoff_ms = 0;
    recovered(t);
    return;
  }
  attempt_failed(t, m, r.reason);
  const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - m.first_queued);
  if (r.outcome == delivery_outcome::failed || waited.count() >= config.retry_for_s) {
    give_up(t, m);
    return;
  }
  t.backoff_ms = t.backoff_ms == 0 ? first_backoff_ms : std::min(t.backoff_ms * 2, max_backoff_ms);
  uint64_t wait_ms = std::max<uint64_t>(
      t.backoff_ms, uint64_t{std::min(r.retry_after_s, max_retry_after_s)} * 1000);
  t.next_attempt = now + std::chrono::milliseconds(wait_ms);
  // Unless the game has moved on meanwhile, the same message goes again.
  t.pending.try_emplace(m.event.game.id, std::move(m));
}

void start_due(CURLM* multi, const notify_config& config,
               std::vector<std::unique_ptr<target_runtime>>& targets) {
  const steady::time_point now = steady::now();
  for (auto& tp : targets) {
    target_runtime& t = *tp;
    if (t.inflight || t.pending.empty() || now < t.next_attempt) continue;
    auto first = t.pending.begin();
    t.inflight_msg = std::move(first->second);
    t.pending.erase(first);
    ++t.inflight_msg.attempts;
    // A transfer curl cannot start (out of memory, most likely) is retried like one that found
    // no answer.
    delivery_result r;
    try {
      t.inflight =
          make_transfer(render_request(t.inflight_msg.event, *t.target, config), config.ca_file);
      CURLMcode code = curl_multi_add_handle(multi, t.inflight->easy);
      if (code == CURLM_OK) continue;
      r.reason = std::string("curl_multi_add_handle: ") + curl_multi_strerror(code);
    } catch (const std::exception& e) {
      r.reason = e.what();
    }
    finish(t, config, r);
  }
}

// Every transfer in flight, when curl can no longer drive them: each is retried.
void fail_inflight(CURLM* multi, const notify_config& config,
                   std::vector<std::unique_ptr<target_runtime>>& targets,
                   const std::string& reason) {
  for (auto& tp : targets) {
    if (!tp->inflight) continue;
    detach(multi, *tp);
    delivery_result r;
    r.reason = reason;
    finish(*tp, config, r);
  }
}

void collect(CURLM* multi, const notify_config& config,
             std::vector<std::unique_ptr<target_runtime>>& targets) {
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    CURL* easy = msg->easy_handle;
    CURLcode code = msg->data.result;
    for (auto& tp : targets) {
      if (!tp->inflight || tp->inflight->easy != easy) continue;
      delivery_result r = transfer_result(*tp->inflight, code);
      detach(multi, *tp);
      finish(*tp, config, r);
      break;
    }
  }
}

void apply_config(notify_sender& s, const notify_config& config,
                  std::vector<std::unique_ptr<target_runtime>>& targets) {
  std::vector<std::unique_ptr<target_runtime>> next;
  for (const notify_target& wanted : config.targets) {
    auto same = std::find_if(targets.begin(), targets.end(),
                             [&](const auto& t) { return t && t->target->url == wanted.url; });
    std::unique_ptr<target_runtime> t;
    if (same != targets.end()) {
      t = std::move(*same);
      if (t->target->game_ids != wanted.game_ids ||
          t->target->name_pattern != wanted.name_pattern) {
        t->previous = *t->target;
      }
    } else {
      t = std::make_unique<target_runtime>();
      t->dir = target_state_dir(s.root, wanted.url);
    }
    t->target = &wanted;
    t->name = target_name(wanted);
    next.push_back(std::move(t));
  }
  for (auto& old : targets) {
    if (old) detach(s.multi, *old);
  }
  targets = std::move(next);
}

}  // namespace

void run_sender(notify_sender* s) {
  std::shared_ptr<const notify_config> config;
  std::vector<std::unique_ptr<target_runtime>> targets;
  std::vector<game_view> games;  // by slot, kept between looks
  announcement_book book{.root = s->root, .known = {}, .failing = false};
  steady::time_point next_scan = steady::now();
  bool failing = false;       // an "ERR" line was written and nothing has worked since
  bool curl_failing = false;  // the same for the multi handle's own calls
  for (;;) {
    {
      mutex_lock lock(s->mutex);
      if (s->stopping) break;
      if (s->config_changed || s->next_config != config) {
        // The targets point into the settings, so the old ones live until all point elsewhere.
        std::shared_ptr<const notify_config> next = s->next_config;
        apply_config(*s, *next, targets);
        if (s->config_changed) next_scan = steady::now();
        s->config_changed = false;
        config = std::move(next);
      }
    }
    // Whatever goes wrong here stays here: the server plays on without notifications.
    try {
      if (steady::now() >= next_scan) {
        next_scan = steady::now() + std::chrono::milliseconds(scan_interval_ms);
        scan(*config, targets, games, book);
      }
      start_due(s->multi, *config, targets);
      int active = 0;
      CURLMcode code = curl_multi_perform(s->multi, &active);
      if (code != CURLM_OK) {
        fail_inflight(s->multi, *config, targets,
                      std::string("curl_multi_perform: ") + curl_multi_strerror(code));
      }
      collect(s->multi, *config, targets);
      failing = false;
    } catch (const std::exception& e) {
      if (!failing) write_log("ERR", std::string("Notifications: ") + e.what());
      failing = true;
    }

    steady::time_point wake = next_scan;
    for (const auto& t : targets) {
      if (!t->inflight && !t->pending.empty()) wake = std::min(wake, t->next_attempt);
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - steady::now()).count();
    // Transfers in flight are driven by the poll too; it returns early when one progresses.
    const int wait_ms = static_cast<int>(std::clamp<int64_t>(ms, 0, 1000));
    CURLMcode code = curl_multi_poll(s->multi, nullptr, 0, wait_ms, nullptr);
    if (code != CURLM_OK) {
      if (!curl_failing) {
        write_log("ERR",
                  std::string("Notifications: curl_multi_poll: ") + curl_multi_strerror(code));
      }
      curl_failing = true;
      // No spinning: the wait the poll would have made.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::max(wait_ms, 100)));
    } else {
      curl_failing = false;
    }
  }
  for (auto& t : targets) detach(s->multi, *t);
}

notify_stats read_notify_stats() {
  return {queued_total.load(std::memory_order_relaxed), sent_total.load(std::memory_order_relaxed),
          failed_total.load(std::memory_order_relaxed)};
}

// The sender's only access to the games. Under the lock it compares each game's state with the
// view it already has and copies texts only for the games that changed, so a look at 10,000
// unchanged games holds the lock for a few comparisons each.
void snapshot_games(std::vector<game_view>* views) {
  mutex_lock lock(db_lock);
  game_view empty;
  empty.id = -1;
  views->resize(games.size(), empty);
  for (size_t slot = 0; slot < games.size(); ++slot) {
    game_view& v = (*views)[slot];
    const game_info* g = games[slot].get();
    if (!g) {
      v.id = -1;
      continue;
    }
    if (v.id == g->id && v.status == g->status && v.turn == g->turn && v.curplr == g->curplr &&
        v.winner == g->winner && v.in_game == g->plr_states && v.name == g->name &&
        v.teams.size() == g->teams.size()) {
      continue;
    }
    v.id = g->id;
    v.name = g->name;
    v.status = g->status;
    v.turn = g->turn;
    v.curplr = g->curplr;
    v.winner = g->winner;
    v.teams = g->teams;
    v.in_game = g->plr_states;
  }
}

bool target_wants(const notify_target& target, const game_view& g) {
  if (target.game_ids.empty() && target.name_pattern.empty()) return true;
  if (std::find(target.game_ids.begin(), target.game_ids.end(), g.id) != target.game_ids.end()) {
    return true;
  }
  return !target.name_pattern.empty() &&
         ::fnmatch(target.name_pattern.c_str(), cp1251_to_utf8(g.name).c_str(), 0) == 0;
}
