#include "db/reply_cache.h"

#include <algorithm>
#include <stdexcept>

#include "db/generation.h"

namespace {

size_t chunk_count() REQUIRES(db_lock) {
  return (games.size() + list_chunk_slots - 1) / list_chunk_slots;
}

bool changed_since(size_t c, uint64_t built_at) REQUIRES(db_lock) {
  const size_t first = c * list_chunk_slots;
  for (size_t k = first; k < first + list_chunk_slots; ++k) {
    if (slot_changed_at(k) > built_at) return true;
  }
  return false;
}

// Renders the entries of slot `k` again when its game changed since they were rendered.
void refresh_slot(kept_list::slot* entry, const list_shape& shape, size_t k, uint64_t now,
                  std::string* scratch) REQUIRES(db_lock) {
  if (entry->built_at != 0 && slot_changed_at(k) <= entry->built_at) return;
  scratch->clear();
  for (size_t s = 0; s < shape.sections; ++s) {
    if (k < games.size() && games[k]) shape.entry(s, *games[k], scratch);
    entry->ends[s] = static_cast<uint32_t>(scratch->size());
  }
  entry->text = std::string(*scratch);  // exact size: the entries stay for the game's life
  entry->built_at = now;
}

// Renders the changed games of chunk `c` and joins every game's entries into its pieces.
void rebuild(kept_list* cache, const list_shape& shape, size_t c, uint64_t now)
    REQUIRES(cache->mutex, db_lock) {
  const size_t first = c * list_chunk_slots;
  const size_t end = std::min(games.size(), first + list_chunk_slots);
  std::string text;
  for (size_t k = first; k < end; ++k) refresh_slot(&cache->slots[k], shape, k, now, &text);
  kept_list::chunk& chunk = cache->chunks[c];
  chunk.pieces.assign(shape.sections, nullptr);
  for (size_t s = 0; s < shape.sections; ++s) {
    text.clear();
    for (size_t k = end; k-- > first;) {
      const kept_list::slot& entry = cache->slots[k];
      const uint32_t from = s == 0 ? 0 : entry.ends[s - 1];
      text.append(entry.text, from, entry.ends[s] - from);
    }
    // Kept as an exact-size copy: a string grown by appending holds up to twice its size.
    if (!text.empty()) chunk.pieces[s] = std::make_shared<const std::string>(text);
  }
  chunk.built_at = now;
}

shared_reply assemble(kept_list* cache, const list_shape& shape, uint64_t now)
    REQUIRES(cache->mutex, db_lock) {
  if (shape.sections > max_list_sections) throw std::length_error("a list with too many sections");
  cache->chunks.resize(chunk_count());
  cache->slots.resize(games.size());
  for (size_t c = 0; c < cache->chunks.size(); ++c) {
    const uint64_t built_at = cache->chunks[c].built_at;
    if (built_at == 0 || changed_since(c, built_at)) rebuild(cache, shape, c, now);
  }
  text_pieces body;
  add_piece(&body, std::make_shared<const std::string>(shape.body_head()));
  for (size_t s = 0; s < shape.sections; ++s) {
    for (size_t c = cache->chunks.size(); c-- > 0;) add_piece(&body, cache->chunks[c].pieces[s]);
  }
  add_piece(&body, std::make_shared<const std::string>(shape.body_tail));
  auto reply = std::make_shared<text_pieces>();
  reply->pieces.reserve(body.pieces.size() + 1);
  add_piece(reply.get(), std::make_shared<const std::string>(shape.http_head(body.size)));
  for (shared_text& piece : body.pieces) add_piece(reply.get(), std::move(piece));
  return reply;
}

}  // namespace

shared_reply kept_list_reply(kept_list* cache, const list_shape& shape) {
  const uint64_t now = games_generation();
  mutex_lock hold(cache->mutex);
  if (cache->generation == now && cache->reply) return cache->reply;
  // Changes bump the generation under db_lock, so the one read here matches what is built.
  mutex_lock lock(db_lock);
  const uint64_t built_at = games_generation();
  if (cache->generation != built_at || !cache->reply) {
    cache->reply = assemble(cache, shape, built_at);
    cache->generation = built_at;
  }
  return cache->reply;
}

std::string whole_list_body(const list_shape& shape) {
  std::string out = shape.body_head();
  for (size_t s = 0; s < shape.sections; ++s) {
    for (size_t k = games.size(); k-- > 0;) {
      if (games[k]) shape.entry(s, *games[k], &out);
    }
  }
  out += shape.body_tail;
  return out;
}
