#include "db/game.h"

#include <deque>
#include <thread>
#include <vector>

#include "db/generation.h"

annotated_mutex db_lock;
std::vector<std::unique_ptr<game_info>> games;

namespace {

// Grows, never shrinks: a deque keeps its elements in place, so a lock handed out stays put.
annotated_mutex game_locks_mutex;
std::deque<annotated_mutex> game_locks GUARDED_BY(game_locks_mutex);

template <class Pred>
int32_t count_games(Pred pred) REQUIRES(db_lock) {
  int32_t n = 0;
  for (const auto& record : games) {
    if (record && pred(*record)) ++n;
  }
  return n;
}

// Polls `m` until it is free or `deadline` has passed.
bool free_before(annotated_mutex& m, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (m.try_lock()) {
      m.unlock();
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

}  // namespace

game_info& new_game_info(int32_t slot) {
  auto& record = games[static_cast<size_t>(slot)];
  record = std::make_unique<game_info>();
  record->id = slot;
  return *record;
}

int32_t count_open_games() {
  return count_games([](const game_info& g) { return g.status < status_finished; });
}

int32_t count_finished_games() {
  return count_games([](const game_info& g) { return g.status == status_finished; });
}

annotated_mutex& game_lock(int32_t id) {
  mutex_lock lock(game_locks_mutex);
  const auto slot = static_cast<size_t>(id);
  if (slot >= game_locks.size()) game_locks.resize(slot + 1);
  return game_locks[slot];
}

std::optional<game_info> copy_game(int32_t id) {
  mutex_lock lock(db_lock);
  if (id < 0 || static_cast<size_t>(id) >= games.size() || !games[id]) return std::nullopt;
  return *games[id];
}

void publish_game(const game_info& record) {
  mutex_lock lock(db_lock);
  const auto slot = static_cast<size_t>(record.id);
  if (record.id < 0 || slot >= games.size()) return;
  if (games[slot]) {
    *games[slot] = record;
  } else {
    games[slot] = std::make_unique<game_info>(record);
  }
  bump_game_generation(slot);
}

bool game_locks_free_within(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  if (!free_before(db_lock, deadline)) return false;
  size_t count = 0;
  {
    mutex_lock lock(game_locks_mutex);
    count = game_locks.size();
  }
  // Each lock is tried once first, and only those that were busy are waited for. Waiting for
  // each in turn would follow an operation that takes the locks one after another (a snapshot, the
  // hourly pass) from game to game and wait for its whole run.
  std::vector<int32_t> busy;
  for (size_t id = 0; id < count; ++id) {
    const auto game = static_cast<int32_t>(id);
    if (!free_before(game_lock(game), {})) busy.push_back(game);
  }
  for (int32_t game : busy) {
    if (!free_before(game_lock(game), deadline)) return false;
  }
  return true;
}

std::string status_word(int32_t status) {
  switch (status) {
    case status_playing:
      return "in_play";
    case status_opening:
      return "opening";
    case status_finished:
      return "finished";
    case status_archived:
      return "archived";
    default:
      return "status_" + std::to_string(status);
  }
}
