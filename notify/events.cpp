#include "notify/events.h"

#include "db/game.h"

namespace {

int count_in_game(const game_view& g) {
  int n = 0;
  for (bool in : g.in_game) n += in ? 1 : 0;
  return n;
}

// Players in the game in `before` ('1') and out now.
std::vector<int32_t> players_out(const std::string& before, const game_view& g) {
  std::vector<int32_t> out;
  for (size_t k = 0; k < g.in_game.size() && k < before.size(); ++k) {
    if (before[k] == '1' && !g.in_game[k]) out.push_back(static_cast<int32_t>(k));
  }
  return out;
}

event_kind end_kind(const game_view& g) {
  // A move ends a game only when at most one player is left; the hourly pass finishes games
  // with their players still in.
  return count_in_game(g) <= 1 ? event_kind::finished : event_kind::finished_idle;
}

}  // namespace

const char* event_name(event_kind kind) {
  switch (kind) {
    case event_kind::new_game:
      return "new_game";
    case event_kind::turn:
      return "turn";
    case event_kind::player_out:
      return "player_out";
    case event_kind::finished:
      return "finished";
    case event_kind::finished_idle:
      return "finished_idle";
    case event_kind::archived:
      return "archived";
    case event_kind::reminder:
      return "reminder";
    case event_kind::test:
      break;
  }
  return "test";
}

std::string event_id_for(const notify_event& e, uint32_t seq) {
  std::string id = "zts-" + std::to_string(e.game.id) + "-" + std::to_string(e.next.turn) + "-" +
                   std::to_string(e.next.curplr) + "-" + std::to_string(e.next.status) + "-" +
                   event_name(e.kind) + "-" + std::to_string(seq);
  if (e.kind == event_kind::reminder) id += "-" + std::to_string(e.next.reminders);
  return id;
}

std::string team_of(const game_view& g, int32_t k) {
  if (k < 0 || static_cast<size_t>(k) >= g.teams.size()) return {};
  return g.teams[static_cast<size_t>(k)];
}

announced_state state_of(const game_view& g, uint32_t now) {
  announced_state s;
  s.status = g.status;
  s.turn = g.turn;
  s.curplr = g.curplr;
  s.winner = g.winner;
  for (bool in : g.in_game) s.in_game += in ? '1' : '0';
  s.since = now;
  return s;
}

std::optional<notify_event> next_event(const game_view& g, const announced_state* last,
                                       uint32_t now, const reminder_policy& policy) {
  notify_event e;
  e.game = g;
  e.next = state_of(g, now);
  if (!last) {
    e.kind = g.status == status_finished   ? end_kind(g)
             : g.status == status_archived ? event_kind::archived
                                           : event_kind::new_game;
  } else if (last->same_state(e.next)) {
    if (policy.after_s == 0 || (g.status != status_playing && g.status != status_opening) ||
        last->reminders >= policy.max) {
      return std::nullopt;
    }
    // Unsigned difference: the clock's low 32 bits may wrap; a clock set back reads as no wait.
    uint32_t waited = now - last->since;
    if (waited > INT32_MAX) return std::nullopt;
    uint64_t due =
        policy.after_s + uint64_t{policy.every_s} * static_cast<uint64_t>(last->reminders);
    if (waited < due) return std::nullopt;
    e.kind = event_kind::reminder;
    e.waited_s = waited;
    e.next = *last;
    e.next.reminders = last->reminders + 1;
  } else if (g.status == status_finished) {
    e.kind = end_kind(g);
    e.silent = last->status == status_finished;
  } else if (g.status == status_archived && last->status != status_archived) {
    e.kind = event_kind::archived;
  } else {
    e.out = players_out(last->in_game, g);
    e.kind = e.out.empty() ? event_kind::turn : event_kind::player_out;
  }
  return e;
}
