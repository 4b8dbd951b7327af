#include "db/reply_cache.h"

#include <bit>

#include "db/generation.h"

namespace {

// The kept copy gets a capacity of a power of two: lists grow a little with every new game,
// and long-lived blocks of ever new sizes would each need fresh memory where a block of the size
// just given back fits again. Bytes held by requests still sending are given back when they end.
shared_text keep(const std::string& built) {
  auto kept = std::make_shared<std::string>();
  kept->reserve(std::bit_ceil(built.size() + 1));
  kept->append(built);
  return kept;
}

}  // namespace

shared_text cached_reply(reply_cache* cache, const std::function<std::string()>& build) {
  const uint64_t now = games_generation();
  mutex_lock hold(cache->mutex);
  if (cache->generation == now && cache->bytes) return cache->bytes;
  // Changes bump the generation under db_lock, so the one read here matches what is built.
  mutex_lock lock(db_lock);
  const uint64_t built_at = games_generation();
  if (cache->generation != built_at || !cache->bytes) {
    cache->bytes = keep(build());
    cache->generation = built_at;
  }
  return cache->bytes;
}
