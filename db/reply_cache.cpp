#include "db/reply_cache.h"

#include "db/generation.h"

shared_text cached_reply(reply_cache* cache, const std::function<std::string()>& build) {
  const uint64_t now = games_generation();
  mutex_lock hold(cache->mutex);
  if (cache->generation == now && cache->bytes) return cache->bytes;
  // Changes bump the generation under db_lock, so the one read here matches what is built.
  mutex_lock lock(db_lock);
  const uint64_t built_at = games_generation();
  if (cache->generation != built_at || !cache->bytes) {
    cache->bytes = std::make_shared<const std::string>(build());
    cache->generation = built_at;
  }
  return cache->bytes;
}
