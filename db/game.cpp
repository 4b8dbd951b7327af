#include "db/game.h"

annotated_mutex db_lock;
std::vector<std::unique_ptr<game_info>> games;

game_info& new_game_info(int32_t slot) {
  auto& record = games[static_cast<size_t>(slot)];
  record = std::make_unique<game_info>();
  record->id = slot;
  return *record;
}

namespace {

template <class Pred>
int32_t count_games(Pred pred) REQUIRES(db_lock) {
  int32_t n = 0;
  for (const auto& record : games) {
    if (record && pred(*record)) ++n;
  }
  return n;
}

}  // namespace

int32_t count_open_games() {
  return count_games([](const game_info& g) { return g.status < 2; });
}

int32_t count_finished_games() {
  return count_games([](const game_info& g) { return g.status == 2; });
}
