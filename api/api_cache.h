// The JSON API's copy of the game records and what it read from disk for them (the turns
// directories, the newest saves' times), with the bodies built from them. Not for use outside
// api/: games_api.cpp turns these into replies.
//
// Locks: api_mutex is held while anything here is read or changed, and is taken before db_lock
// (db/game.h gives the order); db_lock is taken inside it only to copy the records, never
// across I/O.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db/game.h"
#include "db/game_json.h"
#include "lib/metrics.h"
#include "lib/mutex.h"

// What the JSON shows of one record, copied under db_lock.
struct game_row : game_summary {
  std::string folded_name;  // the name in UTF-8 as list queries match it (api/list_query.h)

  // Changes whenever a move or a refresh changes what lies in the game's turns directory or
  // which file is the newest (a game's last move rewrites the file its last mover fetched, and
  // ends it).
  std::string files_key() const;
};

// One stored save in a game's turns directory.
struct turn_file {
  std::string file;
  int32_t turn = 0, player = 0;
  bool opening = false;  // a "set_" file of the opening phase (op=29 cannot fetch it)
  int64_t size = 0;
  int64_t mtime = 0;
};

// A body with its ETag, valid while the generation is `generation` (and, for one game, while
// its turn times are those of `times_epoch` and the time is before `valid_until_ms`).
struct cached_body {
  uint64_t generation = 0;
  uint64_t times_epoch = 0;
  int64_t valid_until_ms = INT64_MAX;
  std::string body, etag;
};

// A turns directory as last read, valid while its game's files_key is `key`.
struct cached_turns {
  std::string key;
  std::vector<turn_file> turns;
};

// When the newest save was stored, valid while its game's files_key is `key`.
struct cached_last_move {
  std::string key;
  std::optional<int64_t> time;
};

// Held while a body is looked up or rebuilt: API requests wait for one rebuild instead of each
// making its own.
extern annotated_mutex api_mutex;

struct api_cache {
  std::string public_url;        // the one the bodies were built with
  uint64_t rows_generation = 0;  // when `rows` was copied
  std::vector<game_row> rows;    // every game of status 0 to 3, by id
  status_counts by_status{};
  cached_body list;
  // Each row's <game> object in the list, rendered on first use for `rows_generation`, so that a
  // page of the list renders only its own games.
  std::vector<std::string> entries;
  std::vector<bool> rendered;
  std::map<int32_t, cached_body> games;
  std::map<int32_t, cached_turns> turns;
  std::map<int32_t, cached_last_move> last_moves;
};

// The one cache. Never destroyed: a connection thread cut off by a stop may still read it at exit.
api_cache& cache() REQUIRES(api_mutex);

// The cache, its bodies dropped when they were built with another public URL than `public_url`.
api_cache& cache_for(const std::string& public_url) REQUIRES(api_mutex);

// Brings the copy of the records up to the current generation (takes db_lock briefly).
void refresh_rows(api_cache& c) REQUIRES(api_mutex) EXCLUDES(db_lock);

// The row of game `id`, or null when no listed game has it.
const game_row* find_row(const api_cache& c, int32_t id);

// The stored saves of `row` in the order of play, read again only when its game's files changed.
const std::vector<turn_file>& turns_of(api_cache& c, const game_row& row) REQUIRES(api_mutex)
    EXCLUDES(db_lock);

// The time the newest save of `row` was stored: one stat, again only when its game changed.
std::optional<int64_t> last_move_of(api_cache& c, const game_row& row) REQUIRES(api_mutex)
    EXCLUDES(db_lock);

// The stored time of `lastfile` among `turns`, or nothing when it is not among them.
std::optional<int64_t> last_move_time(const std::vector<turn_file>& turns,
                                      const std::string& lastfile);
