#include "db/generation.h"

#include <atomic>

namespace {

std::atomic<uint64_t> generation{1};

}  // namespace

uint64_t games_generation() {
  return generation.load(std::memory_order_acquire);
}

void bump_games_generation() {
  generation.fetch_add(1, std::memory_order_acq_rel);
}
