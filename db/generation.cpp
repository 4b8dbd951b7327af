#include "db/generation.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace {

std::atomic<uint64_t> generation{1};
// A slot's last change is the later of the last change of every slot and its own.
uint64_t every_slot_changed_at GUARDED_BY(db_lock) = 1;
std::vector<uint64_t> slot_changes GUARDED_BY(db_lock);

}  // namespace

uint64_t games_generation() {
  return generation.load(std::memory_order_acquire);
}

void bump_games_generation() {
  every_slot_changed_at = generation.fetch_add(1, std::memory_order_acq_rel) + 1;
  slot_changes.clear();
}

void bump_game_generation(size_t slot) {
  const uint64_t now = generation.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (slot >= slot_changes.size()) slot_changes.resize(slot + 1, 0);
  slot_changes[slot] = now;
}

uint64_t slot_changed_at(size_t slot) {
  const uint64_t own = slot < slot_changes.size() ? slot_changes[slot] : 0;
  return std::max(every_slot_changed_at, own);
}
