// Lists of the games kept in memory as replies until the game data changes (db/generation.h),
// so that the lists clients poll cost a pointer copy instead of a rebuild per request, and every
// reader shares the same bytes.
//
// A kept list is held in pieces of `list_chunk_slots` consecutive slots per section: after a
// change only the pieces of the slots that changed are built again, and a reply still being
// sent keeps the pieces it was given, so memory grows with the games, not with the readers.
//
//   static kept_list cache;
//   shared_reply reply = kept_list_reply(&cache, shape);
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/game.h"
#include "lib/mutex.h"
#include "lib/pieces.h"

// Slots per piece: small enough that a move rebuilds little (a few hundred KB at most), large
// enough that the kernel copies few pieces per reply: with 64 slots, a list of 1,000 games sent
// as 34 pieces cost 10 % more than one piece; with 256, 10 pieces cost nothing measurable.
constexpr size_t list_chunk_slots = 256;

// What a list shows. Every function runs under db_lock and must not throw but for lack of memory.
struct list_shape {
  // Sections follow one another (at most max_list_sections); each lists the games from the
  // last slot down.
  size_t sections = 1;
  // Appends the entry of `g` (in slot g.id) for section `s`; nothing when it is not listed there.
  std::function<void(size_t s, const game_info& g, std::string* out)> entry;
  // The body's bytes before the first section, and after the last.
  std::function<std::string()> body_head;
  std::string body_tail;
  // The HTTP head of a body of `body_size` bytes.
  std::function<std::string(size_t body_size)> http_head;
};

// A list has at most this many sections.
constexpr size_t max_list_sections = 4;

// One kept list. Its lock comes after the game locks and before db_lock (db/game.h).
struct kept_list {
  struct chunk {
    uint64_t built_at = 0;            // 0: not built
    std::vector<shared_text> pieces;  // one per section; null when it lists nothing
  };
  // One game's entries, kept so that a piece is rebuilt by rendering only the games that
  // changed and copying the others' bytes.
  struct slot {
    uint64_t built_at = 0;                           // 0: not built
    std::string text;                                // the entries of every section in turn
    std::array<uint32_t, max_list_sections> ends{};  // where each section's entry ends in text
  };
  annotated_mutex mutex;
  uint64_t generation GUARDED_BY(mutex) = 0;  // of `reply`; 0: nothing built yet
  shared_reply reply GUARDED_BY(mutex);
  std::vector<chunk> chunks GUARDED_BY(mutex);  // chunk c: slots [c * list_chunk_slots, ...)
  std::vector<slot> slots GUARDED_BY(mutex);    // by slot number
};

// The reply `shape` describes, as of the current game data: kept and shared while nothing
// changed, else built again from the pieces of the slots that changed and kept. Callers that
// find it out of date wait for one rebuild rather than each making its own.
shared_reply kept_list_reply(kept_list* cache, const list_shape& shape) EXCLUDES(db_lock);

// The body `shape` describes, built whole (for tests and tools that want the text).
std::string whole_list_body(const list_shape& shape) REQUIRES(db_lock);
