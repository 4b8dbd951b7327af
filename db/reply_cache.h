// Replies built from the game list and kept in memory until the game data changes (see
// db/generation.h), so that the lists clients poll cost a pointer copy instead of a rebuild
// under db_lock per request, and every reader shares one copy of the bytes.
//
//   reply_cache plain_list;
//   shared_text reply = cached_reply(&plain_list, [] { return build_list(); });  // db_lock held
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db/game.h"
#include "lib/mutex.h"

// Bytes shared by every request that sends them; never changed once built.
using shared_text = std::shared_ptr<const std::string>;

// One kept reply. Its lock comes after the game locks and before db_lock (db/game.h).
struct reply_cache {
  annotated_mutex mutex;
  uint64_t generation GUARDED_BY(mutex) = 0;  // 0: nothing built yet
  shared_text bytes GUARDED_BY(mutex);
};

// The bytes `build` returns, run under db_lock, built again only when the game data changed
// since they were last built. Callers that find them out of date wait for one rebuild rather
// than each making its own. Throws what `build` throws; nothing is kept then.
shared_text cached_reply(reply_cache* cache, const std::function<std::string()>& build)
    EXCLUDES(db_lock);
